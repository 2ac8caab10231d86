# Full restore onto ext2 from fuzzed archives: it must end and never write
# outside its partition.
vk_add_fuzzer(fuzz_restore_ext2 ${CMAKE_CURRENT_LIST_DIR}/restore_ext2_fuzz.cpp)
target_link_libraries(fuzz_restore_ext2 PRIVATE vk_archive vk_fs_ext2 vk_fs_mbr vk_files vk_disk
                      vk_platform)
