# Quick format and full restore of FAT partitions: the pure geometry, and
# the driver's Clean and FullUnzip on in-memory disks.
vk_add_test(fat_restore_geometry_test ${CMAKE_CURRENT_LIST_DIR}/fat_restore_geometry_test.cpp)
target_include_directories(fat_restore_geometry_test PRIVATE ${CMAKE_SOURCE_DIR}/fs/fat)
target_link_libraries(fat_restore_geometry_test PRIVATE vk_fs_fat)

# Clean and FullUnzip through the commands on in-memory disks that fail.
vk_add_test(fat_restore_test
  ${CMAKE_CURRENT_LIST_DIR}/../disk/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../interp/interp_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fat_restore_test.cpp
)
target_include_directories(fat_restore_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../disk
                           ${CMAKE_CURRENT_LIST_DIR}/../interp)
target_link_libraries(fat_restore_test PRIVATE vk_programs_common vk_fs_hostdir vk_fs_fat
                      vk_interp vk_archive vk_fs_mbr vk_fs_swap vk_disk vk_platform)
