vk_add_test(hostdir_test ${CMAKE_CURRENT_LIST_DIR}/hostdir_test.cpp)
target_link_libraries(hostdir_test PRIVATE vk_fs_hostdir vk_platform)
target_include_directories(hostdir_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../platform)
