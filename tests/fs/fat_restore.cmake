# Quick format and full restore of FAT partitions: the pure geometry, and
# the driver's Clean and FullUnzip on in-memory disks.
vk_add_test(fat_restore_geometry_test ${CMAKE_CURRENT_LIST_DIR}/fat_restore_geometry_test.cpp)
target_include_directories(fat_restore_geometry_test PRIVATE ${CMAKE_SOURCE_DIR}/fs/fat)
target_link_libraries(fat_restore_geometry_test PRIVATE vk_fs_fat)
