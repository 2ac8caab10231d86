# The volume table in an NTFS archive's boot area, as a restore reads it:
# loading and walking every descriptor and record must end, stay inside the
# input and agree with what the builder makes of the same contents.
vk_add_fuzzer(fuzz_ntfs_table ${CMAKE_CURRENT_LIST_DIR}/ntfs_table_fuzz.cpp)
target_link_libraries(fuzz_ntfs_table PRIVATE vk_fs_ntfs vk_platform)
