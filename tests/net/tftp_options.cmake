# The server side of the TFTP records (requests with options, OACK), by table.
vk_add_test(net_tftp_options_test ${CMAKE_CURRENT_LIST_DIR}/tftp_options_test.cpp)
target_link_libraries(net_tftp_options_test PRIVATE vk_net_wire)
