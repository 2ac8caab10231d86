# The FAT driver on in-memory volumes whose n-th disk write fails.
vk_add_test(fat_faults_test
  ${CMAKE_CURRENT_LIST_DIR}/../disk/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fat_faults_test.cpp
)
target_include_directories(fat_faults_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../disk)
target_link_libraries(fat_faults_test PRIVATE vk_fs_fat vk_fs_mbr vk_fs_swap vk_disk vk_platform)
