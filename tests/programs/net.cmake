# Tobrend's network side against real servers (dnsmasq, in.tftpd and the
# test server of tests/net) in network namespaces that each test makes and
# removes; skipped (77) where namespaces cannot be made.
foreach(net_test boot discovery faults cache example options)
  add_test(NAME net_${net_test}
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/net_${net_test}.sh ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(net_${net_test} PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()
