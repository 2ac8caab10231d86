# The archive commands of the interpreter, called as the driver calls them.
vk_add_test(archive_commands_test
  ${CMAKE_CURRENT_LIST_DIR}/archive_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/commands_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../interp/interp_fixture.cpp
)
target_include_directories(archive_commands_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../interp)
target_link_libraries(archive_commands_test PRIVATE
  vk_programs_common vk_interp vk_archive vk_fs_hostdir vk_files vk_disk vk_platform)
