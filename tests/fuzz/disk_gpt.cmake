# GUID partition table reader over random sectors.
vk_add_fuzzer(fuzz_disk_gpt ${CMAKE_CURRENT_LIST_DIR}/disk_gpt_fuzz.cpp)
target_link_libraries(fuzz_disk_gpt PRIVATE vk_disk vk_platform)
