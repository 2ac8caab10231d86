# The archive dump on archives from the independent Python writer.
vk_add_test(archive_dump_test
  ${CMAKE_CURRENT_LIST_DIR}/archive_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dump_test.cpp
)
target_link_libraries(archive_dump_test PRIVATE vk_archive vk_fs_hostdir vk_files vk_disk vk_platform)
target_compile_definitions(archive_dump_test PRIVATE
  VK_ARCTOOL="${CMAKE_CURRENT_LIST_DIR}/arctool.py")
