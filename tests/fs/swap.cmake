# Swap headers and the swap driver on in-memory disks.
vk_add_test(swap_test
  ${CMAKE_CURRENT_LIST_DIR}/../disk/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/swap_test.cpp
)
target_include_directories(swap_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../disk)
target_link_libraries(swap_test PRIVATE vk_fs_mbr vk_fs_swap vk_disk vk_platform)
