# The copy engine on fuzzed archives, to every destination kind; a path
# destination must stay inside its scratch target and every virtual file
# must be given back.
vk_add_fuzzer(fuzz_archive_copy ${CMAKE_CURRENT_LIST_DIR}/archive_copy_fuzz.cpp)
target_link_libraries(fuzz_archive_copy PRIVATE vk_archive vk_fs_fat vk_fs_hostdir vk_files vk_disk vk_platform)
