# TFTP packets: which OACKs the client takes.
vk_add_test(net_tftp_packet_test ${CMAKE_CURRENT_LIST_DIR}/tftp_packet_test.cpp)
target_link_libraries(net_tftp_packet_test PRIVATE vk_net)
