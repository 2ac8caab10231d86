# The archive reader on whole archives (several fragments) and on single
# fragment files, and the single-file container's unpacker.
vk_add_fuzzer(fuzz_archive_reader ${CMAKE_CURRENT_LIST_DIR}/archive_reader_fuzz.cpp)
target_compile_definitions(fuzz_archive_reader PRIVATE VK_FUZZ_FRAGMENTS)
target_link_libraries(fuzz_archive_reader PRIVATE vk_archive vk_files vk_disk vk_platform)

vk_add_fuzzer(fuzz_archive_fragment ${CMAKE_CURRENT_LIST_DIR}/archive_reader_fuzz.cpp)
target_link_libraries(fuzz_archive_fragment PRIVATE vk_archive vk_files vk_disk vk_platform)

vk_add_fuzzer(fuzz_archive_unzipfile ${CMAKE_CURRENT_LIST_DIR}/archive_unzipfile_fuzz.cpp)
target_link_libraries(fuzz_archive_unzipfile PRIVATE vk_archive vk_fs_hostdir vk_files vk_disk vk_platform)
