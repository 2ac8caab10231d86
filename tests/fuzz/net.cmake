# Network input: DHCP replies through acceptance and the BOOTP variables, and
# TFTP datagrams through the client's read loops (over loopback UDP; the
# broadcast flavour with a loopback control stream); the options target
# answers the request with OACKs and sends the blocks in windows, out of order.
vk_add_fuzzer(fuzz_net_bootp ${CMAKE_CURRENT_LIST_DIR}/net_bootp_fuzz.cpp)
target_link_libraries(fuzz_net_bootp PRIVATE vk_net)
foreach(flavour tftp tftp_options btftp)
  vk_add_fuzzer(fuzz_net_${flavour} ${CMAKE_CURRENT_LIST_DIR}/net_${flavour}_fuzz.cpp)
  target_link_libraries(fuzz_net_${flavour} PRIVATE vk_net)
  target_include_directories(fuzz_net_${flavour} PRIVATE ${PROJECT_SOURCE_DIR}/net)
endforeach()
