# The cache partition driver and the remote-file cache over an in-memory
# transport on in-memory disks.
vk_add_test(cache_test
  ${CMAKE_CURRENT_LIST_DIR}/../disk/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cache_test.cpp
)
target_include_directories(cache_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../disk)
target_link_libraries(cache_test PRIVATE vk_net vk_fs_cache vk_fs_mbr vk_fs_swap vk_files vk_disk vk_platform)
