# The incremental restore on fuzzed records and entries, into a scratch
# host directory that nothing may leave.
vk_add_fuzzer(fuzz_irestore ${CMAKE_CURRENT_LIST_DIR}/irestore_fuzz.cpp)
target_link_libraries(fuzz_irestore PRIVATE vk_archive vk_fs_hostdir vk_files vk_disk vk_platform)
