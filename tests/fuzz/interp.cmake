# The line reader and the argument readers on random script text.
vk_add_fuzzer(fuzz_interp_readers ${CMAKE_CURRENT_LIST_DIR}/interp_readers_fuzz.cpp)
target_link_libraries(fuzz_interp_readers PRIVATE vk_interp)
