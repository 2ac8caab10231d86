# Links with delay and loss: the relay of tests/net between namespaces,
# checked from both ends. Skipped (77) where namespaces cannot be made.
add_test(NAME net_relay COMMAND ${CMAKE_CURRENT_LIST_DIR}/net_relay.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(net_relay PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
