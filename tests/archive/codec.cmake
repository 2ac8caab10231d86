vk_add_test(archive_codec_test ${CMAKE_CURRENT_LIST_DIR}/codec_test.cpp)
target_link_libraries(archive_codec_test PRIVATE vk_codec)
