# tobrend-server against Tobrend, tftp-hpa and curl in network namespaces that
# each test makes and removes; skipped (77) where namespaces cannot be made.
foreach(server_test flavours cache)
  add_test(NAME server_${server_test}
           COMMAND ${CMAKE_CURRENT_LIST_DIR}/server_${server_test}.sh ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(server_${server_test} PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77)
endforeach()
