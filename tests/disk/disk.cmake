# Sector access, CHS packing, partition selection and tables, boot sector
# builders; in-memory images and temporary image files only.
vk_add_test(disk_test
  ${CMAKE_CURRENT_LIST_DIR}/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sector_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chs_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/partitions_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tables_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bootsect_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gpt_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/efiboot_test.cpp
)
target_link_libraries(disk_test PRIVATE vk_fs_mbr vk_fs_swap vk_disk vk_platform)

# The disk commands, run through the interpreter on in-memory disks.
vk_add_test(disk_commands_test
  ${CMAKE_CURRENT_LIST_DIR}/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/commands_disk_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/firmware_boot_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../interp/interp_fixture.cpp
)
target_include_directories(disk_commands_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../interp)
target_link_libraries(disk_commands_test PRIVATE vk_programs_common vk_fs_hostdir vk_interp
                      vk_fs_mbr vk_fs_swap vk_disk vk_platform)
