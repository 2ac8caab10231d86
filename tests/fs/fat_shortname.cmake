# The FAT driver's pure name helpers: short names and long-name characters.
vk_add_test(fat_shortname_test ${CMAKE_CURRENT_LIST_DIR}/fat_shortname_test.cpp)
target_include_directories(fat_shortname_test PRIVATE ${CMAKE_SOURCE_DIR}/fs/fat)
target_link_libraries(fat_shortname_test PRIVATE vk_fs_fat)
