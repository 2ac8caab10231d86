# tobrend-server's packet parsers: requests with options, client replies and
# the broadcast control stream (the records of vk_net_wire).
vk_add_fuzzer(fuzz_server_packets ${CMAKE_CURRENT_LIST_DIR}/server_packets_fuzz.cpp)
target_link_libraries(fuzz_server_packets PRIVATE vk_net_wire)
