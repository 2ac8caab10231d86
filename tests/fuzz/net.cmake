# Network input: DHCP replies through acceptance and the BOOTP variables, and
# TFTP datagrams through the client's read loop (over loopback UDP).
vk_add_fuzzer(fuzz_net_bootp ${CMAKE_CURRENT_LIST_DIR}/net_bootp_fuzz.cpp)
target_link_libraries(fuzz_net_bootp PRIVATE vk_net)
vk_add_fuzzer(fuzz_net_tftp ${CMAKE_CURRENT_LIST_DIR}/net_tftp_fuzz.cpp)
target_link_libraries(fuzz_net_tftp PRIVATE vk_net)
target_include_directories(fuzz_net_tftp PRIVATE ${PROJECT_SOURCE_DIR}/net)
