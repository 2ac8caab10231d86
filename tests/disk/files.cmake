vk_add_test(files_test
  ${CMAKE_CURRENT_LIST_DIR}/files_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files_copy_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files_dir_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files_remote_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files_disk_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/files_cluster_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/disk_fixture.cpp)
target_link_libraries(files_test PRIVATE vk_files vk_fs_hostdir vk_fs_mbr vk_fs_swap vk_disk
                      vk_platform)
target_include_directories(files_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../platform)
