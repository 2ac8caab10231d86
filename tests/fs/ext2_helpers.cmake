# The ext2 driver's pure helpers: block-map arithmetic, record lengths,
# directory sizes, names and packed attributes.
vk_add_test(ext2_helpers_test ${CMAKE_CURRENT_LIST_DIR}/ext2_helpers_test.cpp)
target_include_directories(ext2_helpers_test PRIVATE ${CMAKE_SOURCE_DIR}/fs/ext2)
target_link_libraries(ext2_helpers_test PRIVATE vk_fs_ext2)
