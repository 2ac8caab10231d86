# Help, sample scripts, progress line and package: what comes with the
# programs, checked through the programs themselves.
set(vk_docs ${PROJECT_SOURCE_DIR}/docs)
vk_add_test(help_topics_test ${CMAKE_CURRENT_LIST_DIR}/help_topics_test.cpp)
target_compile_definitions(help_topics_test PRIVATE VK_HELP_SCRIPT="${vk_docs}/help/vesklor.hlp"
                           VK_TABLE_DIR="${PROJECT_SOURCE_DIR}/programs")
add_test(NAME help_scripts COMMAND ${CMAKE_CURRENT_LIST_DIR}/help.sh ${CMAKE_BINARY_DIR}/bin
         ${vk_docs}/help/vesklor.hlp)
add_test(NAME example_scripts COMMAND ${CMAKE_CURRENT_LIST_DIR}/examples.sh ${CMAKE_BINARY_DIR}/bin
         ${PROJECT_SOURCE_DIR}/examples)
set_tests_properties(example_scripts PROPERTIES TIMEOUT 300)
add_test(NAME tmux_progress COMMAND ${CMAKE_CURRENT_LIST_DIR}/tmux_progress.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(tmux_progress PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
