# The ext4 driver on in-memory disks: its channel's bounds, recognition
# after a clean, and files written, read back and removed.
vk_add_test(ext4_test
  ${CMAKE_CURRENT_LIST_DIR}/../disk/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ext4_test.cpp
)
target_include_directories(ext4_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../disk
                           ${CMAKE_SOURCE_DIR}/fs/ext4)
target_link_libraries(ext4_test PRIVATE vk_fs_ext4 vk_fs_ext2 vk_fs_mbr vk_fs_swap vk_disk
                      vk_platform PkgConfig::EXT2FS)
