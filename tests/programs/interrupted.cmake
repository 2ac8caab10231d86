# Restores cut off by SIGKILL at random moments and run again, checked with
# blkid, fsck.fat, e2fsck, mtools and debugfs.
add_test(NAME restore_interrupted
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/restore_interrupted.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(restore_interrupted PROPERTIES TIMEOUT 400)
