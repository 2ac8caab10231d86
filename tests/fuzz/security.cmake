# Security commands: desdecrypt codes, stored crypt strings and request names.
vk_add_fuzzer(security_fuzz ${CMAKE_CURRENT_LIST_DIR}/security_fuzz.cpp)
target_link_libraries(security_fuzz PRIVATE vk_security)
