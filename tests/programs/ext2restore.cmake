# Black-box tests of ext2 quick format and full restore on image files,
# checked with e2fsck, dumpe2fs and debugfs.
file(GLOB ext2restore_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/ext2restore_*.sh)
foreach(script ${ext2restore_scripts})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME ${name} COMMAND ${script} ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endforeach()
