vk_add_fuzzer(fuzz_files ${CMAKE_CURRENT_LIST_DIR}/files_fuzz.cpp)
target_link_libraries(fuzz_files PRIVATE vk_files vk_fs_hostdir vk_disk vk_platform)
