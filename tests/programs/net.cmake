# Tobrend's network side against real servers (dnsmasq, in.tftpd and the
# test server of tests/net) in network namespaces that each test makes and
# removes; skipped (77) where namespaces cannot be made.
foreach(net_test boot discovery faults cache example options options_loss)
  add_test(NAME net_${net_test}
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/net_${net_test}.sh ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(net_${net_test} PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()
# The cache scenario again with servers that agree options.
foreach(server windows dnsmasq tftpd)
  add_test(NAME net_cache_${server}
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/net_cache.sh ${CMAKE_BINARY_DIR}/bin ${server})
  set_tests_properties(net_cache_${server} PROPERTIES TIMEOUT 180 SKIP_RETURN_CODE 77)
endforeach()
