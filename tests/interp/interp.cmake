# Unit tests of the interpreter's pure pieces: line reader, readers,
# expressions, variable store, driver and commands.
vk_add_test(interp_test
  ${CMAKE_CURRENT_LIST_DIR}/interp_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tokenizer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/expr_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/variables_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/driver_test.cpp
)
target_link_libraries(interp_test PRIVATE vk_programs_common vk_fs_hostdir vk_interp)
