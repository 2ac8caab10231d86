# Wildcard matching and the remote-name / address / hex parsers.
vk_add_fuzzer(platform_match_fuzz ${CMAKE_CURRENT_LIST_DIR}/platform_match_fuzz.cpp)
target_link_libraries(platform_match_fuzz PRIVATE vk_platform)
vk_add_fuzzer(platform_names_fuzz ${CMAKE_CURRENT_LIST_DIR}/platform_names_fuzz.cpp)
target_link_libraries(platform_names_fuzz PRIVATE vk_platform)
