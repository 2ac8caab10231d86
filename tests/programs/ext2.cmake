# Black-box tests of the ext2 driver on image files formatted by mke2fs,
# checked with e2fsck, debugfs and dumpe2fs.
file(GLOB ext2_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/ext2_*.sh)
foreach(script ${ext2_scripts})
  get_filename_component(name ${script} NAME_WE)
  if(NOT name STREQUAL "ext2_lib")
    add_test(NAME ${name} COMMAND ${script} ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  endif()
endforeach()
