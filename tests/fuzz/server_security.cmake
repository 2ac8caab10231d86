# tobrend-server's security port: request names and the answer scripts. The
# server folder is not part of fuzz builds, so its source is built in here.
vk_add_fuzzer(fuzz_server_security ${CMAKE_CURRENT_LIST_DIR}/server_security_fuzz.cpp
  ${PROJECT_SOURCE_DIR}/server/security.cpp)
target_include_directories(fuzz_server_security PRIVATE ${PROJECT_SOURCE_DIR}/server)
target_link_libraries(fuzz_server_security PRIVATE vk_platform_records PkgConfig::NETTLE
                                                   PkgConfig::XCRYPT)
