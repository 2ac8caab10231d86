# The status board's JSON, Prometheus text and terminal table, and the HTTP
# endpoint on loopback.
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
vk_add_test(server_status_test ${CMAKE_CURRENT_LIST_DIR}/status_test.cpp)
target_link_libraries(server_status_test PRIVATE vk_server PkgConfig::HTTPLIB)
