# The table of extended attributes in an ext4 archive's boot area, as a
# restore reads it: loading and walking every record must end, stay inside
# the input and agree with what the builder makes of the same attributes.
vk_add_fuzzer(fuzz_ext4_xattr ${CMAKE_CURRENT_LIST_DIR}/ext4_xattr_fuzz.cpp)
target_link_libraries(fuzz_ext4_xattr PRIVATE vk_fs_ext4 vk_platform)
