# The interactive console on a real terminal, driven through tmux; skipped
# when tmux is missing.
add_test(NAME tmux_console COMMAND ${CMAKE_CURRENT_LIST_DIR}/tmux_console.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(tmux_console PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
