vk_add_test(archive_test
  ${CMAKE_CURRENT_LIST_DIR}/archive_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/format_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/roundtrip_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reader_failures_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zipfile_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vfile_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cross_test.cpp
)
target_link_libraries(archive_test PRIVATE vk_archive vk_fs_hostdir vk_files vk_disk vk_platform)
target_compile_definitions(archive_test PRIVATE
  VK_ARCTOOL="${CMAKE_CURRENT_LIST_DIR}/arctool.py")
