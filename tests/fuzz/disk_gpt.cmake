# GUID partition table reader over random sectors.
vk_add_fuzzer(fuzz_disk_gpt ${CMAKE_CURRENT_LIST_DIR}/disk_gpt_fuzz.cpp)
target_link_libraries(fuzz_disk_gpt PRIVATE vk_disk vk_platform)
# Load options of the firmware's boot entries (hdboot on UEFI PCs).
vk_add_fuzzer(fuzz_disk_efiboot ${CMAKE_CURRENT_LIST_DIR}/disk_efiboot_fuzz.cpp)
target_link_libraries(fuzz_disk_efiboot PRIVATE vk_disk vk_platform)
