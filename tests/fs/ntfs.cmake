# The NTFS driver's pure pieces: names between the code page and UTF-16, the
# archive names in UTF-8, the volume table and the restore's block pool.
vk_add_test(ntfs_test ${CMAKE_CURRENT_LIST_DIR}/ntfs_test.cpp)
target_include_directories(ntfs_test PRIVATE ${CMAKE_SOURCE_DIR}/fs/ntfs)
target_link_libraries(ntfs_test PRIVATE vk_fs_ntfs vk_platform PkgConfig::NTFS3G)
# ntfs_craft: the NTFS archive scenario's maker of what the ntfs-3g tools do
# not make (compressed, sparse and case-differing files, DOS names, security
# descriptors, reparse points, object IDs, a dirty volume).
add_executable(ntfs_craft ${CMAKE_CURRENT_LIST_DIR}/ntfs_craft.cpp)
target_link_libraries(ntfs_craft PRIVATE PkgConfig::NTFS3G)
