# The writer of large FAT test archives for scripts/bench-fat-restore.
add_executable(fatarc_write ${CMAKE_CURRENT_LIST_DIR}/fatarc_write.cpp)
target_link_libraries(fatarc_write PRIVATE vk_archive vk_files vk_platform)
