# The cache partition driver over hostile directories and chunks: every
# enumeration, read, write and removal must end and stay inside the area.
vk_add_fuzzer(fuzz_cache ${CMAKE_CURRENT_LIST_DIR}/cache_fuzz.cpp)
target_link_libraries(fuzz_cache PRIVATE vk_fs_cache vk_fs_mbr vk_disk vk_platform)
