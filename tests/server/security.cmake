# The security server's answers, with requests encoded by the client's own
# encoder; the users file and the rate limit.
vk_add_test(server_security_test ${CMAKE_CURRENT_LIST_DIR}/security_test.cpp)
target_link_libraries(server_security_test PRIVATE vk_server vk_security)
