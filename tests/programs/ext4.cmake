# Black-box tests of the ext4 driver on image files formatted by mke2fs -t
# ext4, checked with e2fsck, debugfs and dumpe2fs.
file(GLOB ext4_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/ext4_*.sh)
foreach(script ${ext4_scripts})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME ${name} COMMAND ${script} ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endforeach()
