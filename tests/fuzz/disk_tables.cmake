# Partition-table reader over random first sectors and extended chains.
vk_add_fuzzer(fuzz_disk_tables ${CMAKE_CURRENT_LIST_DIR}/disk_tables_fuzz.cpp)
target_link_libraries(fuzz_disk_tables PRIVATE vk_fs_mbr vk_fs_swap vk_disk vk_platform)
