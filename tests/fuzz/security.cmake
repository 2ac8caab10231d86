# Security commands: desdecrypt codes, stored crypt strings and request names.
vk_add_fuzzer(fuzz_security ${CMAKE_CURRENT_LIST_DIR}/security_fuzz.cpp)
target_link_libraries(fuzz_security PRIVATE vk_security)
