# The compressed ramdisk loader and the kernel header check over hostile
# images served as a remote file.
vk_add_fuzzer(fuzz_boot_images ${CMAKE_CURRENT_LIST_DIR}/boot_images_fuzz.cpp)
target_link_libraries(fuzz_boot_images PRIVATE vk_net vk_files vk_disk vk_platform)
