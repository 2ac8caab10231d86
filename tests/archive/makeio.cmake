# The restore's directory-level adapters and output files over a recording
# driver.
vk_add_test(archive_makeio_test ${CMAKE_CURRENT_LIST_DIR}/makeio_test.cpp)
target_link_libraries(archive_makeio_test PRIVATE vk_archive vk_files vk_disk vk_platform)
