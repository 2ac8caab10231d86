# The archive dump on fuzzed single-fragment archives, full and incremental.
vk_add_fuzzer(fuzz_archive_dump ${CMAKE_CURRENT_LIST_DIR}/archive_dump_fuzz.cpp)
target_link_libraries(fuzz_archive_dump PRIVATE vk_archive vk_files vk_disk vk_platform)
