# Archive creation from host trees: fullzip, incrzip, filters, conversions
# and fragment sizes, checked by the independent archive reader against a
# description worked out from the tree itself.
add_test(NAME zip_host_trees
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/zip_trees.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(zip_host_trees PROPERTIES TIMEOUT 300)
