# The MBR pseudo file system on in-memory disks.
vk_add_test(mbr_test
  ${CMAKE_CURRENT_LIST_DIR}/../disk/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mbr_test.cpp
)
target_include_directories(mbr_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../disk)
target_link_libraries(mbr_test PRIVATE vk_fs_mbr vk_fs_swap vk_disk vk_platform)
