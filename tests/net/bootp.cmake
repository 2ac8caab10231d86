# BOOTP replies: acceptance, the boot file and the variables, by table.
vk_add_test(net_bootp_test ${CMAKE_CURRENT_LIST_DIR}/bootpvars_test.cpp)
target_link_libraries(net_bootp_test PRIVATE vk_net)
