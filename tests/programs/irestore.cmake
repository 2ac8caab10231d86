# incrunzip onto host directories: archives from the independent Python
# writer, restored by the built programs, checked with host tools.
add_test(NAME incrunzip_host_trees
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/irestore.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(incrunzip_host_trees PROPERTIES TIMEOUT 300)
add_test(NAME incrunzip_fat_dirs
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/irestore_fat.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(incrunzip_fat_dirs PROPERTIES TIMEOUT 300)

# The archive dump through fulldump and incrdump.
add_test(NAME archive_dump_commands
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/archive_dump.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(archive_dump_commands PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
# Symbolic links on host targets: made anew when applied twice, links in the
# target replaced, never written through.
add_test(NAME incrunzip_host_links
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/irestore_links.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(incrunzip_host_links PROPERTIES TIMEOUT 120)
# Damaged archives leave every restore's target untouched (host files, a
# partition, the disk cache); the independent writer's archives are read.
add_test(NAME restore_damaged_archives
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/restore_damaged.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(restore_damaged_archives PROPERTIES TIMEOUT 300)
