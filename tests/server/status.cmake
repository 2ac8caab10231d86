# The status board's escaping and table, and the endpoint's port.
vk_add_test(server_status_test ${CMAKE_CURRENT_LIST_DIR}/status_test.cpp)
target_link_libraries(server_status_test PRIVATE vk_server)
# Names below the served tree.
vk_add_test(server_names_test ${CMAKE_CURRENT_LIST_DIR}/names_test.cpp)
target_link_libraries(server_names_test PRIVATE vk_server)
