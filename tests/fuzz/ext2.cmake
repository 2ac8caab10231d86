# The ext2 driver over hostile volumes: a small valid volume whose
# superblock, descriptors, bitmaps, inode table and directory blocks the
# input patches; walks, reads, writes and removes must end and stay inside
# the partition.
vk_add_fuzzer(fuzz_ext2 ${CMAKE_CURRENT_LIST_DIR}/ext2_fuzz.cpp)
target_include_directories(fuzz_ext2 PRIVATE ${CMAKE_SOURCE_DIR}/fs/ext2)
target_link_libraries(fuzz_ext2 PRIVATE vk_fs_ext2 vk_fs_mbr vk_disk vk_platform)
