# The FAT driver over hostile volumes: boot sector, FATs and directory
# clusters from the input; walks, reads, writes and removes must end and
# stay inside the partition.
vk_add_fuzzer(fuzz_fat ${CMAKE_CURRENT_LIST_DIR}/fat_fuzz.cpp)
target_link_libraries(fuzz_fat PRIVATE vk_fs_fat vk_fs_mbr vk_disk vk_platform)
