# Sector access, CHS packing, partition selection and tables, boot sector
# builders; in-memory images and temporary image files only.
vk_add_test(disk_test
  ${CMAKE_CURRENT_LIST_DIR}/disk_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sector_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/chs_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/partitions_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tables_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bootsect_test.cpp
)
target_link_libraries(disk_test PRIVATE vk_fs_mbr vk_fs_swap vk_disk vk_platform)
