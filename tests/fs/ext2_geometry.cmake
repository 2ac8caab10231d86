# Geometry of fresh ext2 volumes and the block layout of restored files.
vk_add_test(ext2_geometry_test ${CMAKE_CURRENT_LIST_DIR}/ext2_geometry_test.cpp)
target_include_directories(ext2_geometry_test PRIVATE ${CMAKE_SOURCE_DIR}/fs/ext2)
target_link_libraries(ext2_geometry_test PRIVATE vk_fs_ext2)
