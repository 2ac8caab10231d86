# Archive creation from host trees: fullzip, incrzip, filters, conversions
# and fragment sizes, checked by the independent archive reader against a
# description worked out from the tree itself.
add_test(NAME zip_host_trees
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/zip_trees.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(zip_host_trees PROPERTIES TIMEOUT 300)
# Archive creation from a FAT partition: boot sectors, FAT attributes,
# filters without case, and a full restore of the result.
add_test(NAME zip_fat_partition
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/zip_fat.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(zip_fat_partition PROPERTIES TIMEOUT 300)
# checkarchive in both programs: sound archives counted as the independent
# reader counts them, and a table of damages with fragment and offset.
add_test(NAME archive_check_command
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/archive_check.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(archive_check_command PROPERTIES TIMEOUT 120)
