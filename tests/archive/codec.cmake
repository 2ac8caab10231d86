vk_add_test(archive_codec_test ${CMAKE_CURRENT_LIST_DIR}/codec_test.cpp)
target_link_libraries(archive_codec_test PRIVATE vk_codec)

# The same tests against the packer's portable code, which non-x86 builds
# and processors without SSE4.1 run.
add_library(vk_codec_portable STATIC ${PROJECT_SOURCE_DIR}/archive/zip.cpp)
target_include_directories(vk_codec_portable PUBLIC ${PROJECT_SOURCE_DIR}/archive/include)
target_compile_definitions(vk_codec_portable PRIVATE VK_ZIP_PORTABLE)
add_executable(archive_codec_portable_test ${CMAKE_CURRENT_LIST_DIR}/codec_test.cpp)
target_link_libraries(archive_codec_portable_test PRIVATE vk_codec_portable GTest::gtest
                      GTest::gtest_main)
gtest_discover_tests(archive_codec_portable_test TEST_PREFIX portable. DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 300)
