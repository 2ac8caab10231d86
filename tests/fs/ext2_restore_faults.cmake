# ext2 quick format and full restore through the commands on in-memory
# disks whose writes fail.
vk_add_test(ext2_restore_faults_test
  ${CMAKE_CURRENT_LIST_DIR}/../disk/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../interp/interp_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ext2_restore_faults_test.cpp
)
target_include_directories(ext2_restore_faults_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../disk
                           ${CMAKE_CURRENT_LIST_DIR}/../interp)
target_link_libraries(ext2_restore_faults_test PRIVATE vk_programs_common vk_fs_hostdir vk_fs_ext2
                      vk_interp vk_archive vk_fs_mbr vk_fs_swap vk_disk vk_platform)
