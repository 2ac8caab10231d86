# Security commands: hashing known answers, encodings and request names, and
# the command handlers driven through the interpreter.
vk_add_test(security_hash_test ${CMAKE_CURRENT_LIST_DIR}/security_hash_test.cpp)
target_link_libraries(security_hash_test PRIVATE vk_security)

vk_add_test(security_commands_test
  ${CMAKE_CURRENT_LIST_DIR}/interp_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/security_commands_test.cpp
)
target_link_libraries(security_commands_test PRIVATE vk_programs_common vk_interp)
