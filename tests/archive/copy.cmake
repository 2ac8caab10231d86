vk_add_test(archive_copy_test
  ${CMAKE_CURRENT_LIST_DIR}/archive_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sort_test.cpp
)
target_link_libraries(archive_copy_test PRIVATE vk_archive vk_fs_hostdir vk_files vk_disk vk_platform)
