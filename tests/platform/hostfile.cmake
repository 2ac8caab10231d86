vk_add_test(hostfile_test ${CMAKE_CURRENT_LIST_DIR}/hostfile_test.cpp)
target_link_libraries(hostfile_test PRIVATE vk_platform)
