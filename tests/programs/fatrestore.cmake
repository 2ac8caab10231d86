# Black-box tests of FAT quick format and full restore on image files,
# checked with fsck.fat, blkid, mtools and a reader of the image in Python.
file(GLOB fatrestore_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fatrestore_*.sh)
foreach(script ${fatrestore_scripts})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME ${name} COMMAND ${script} ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endforeach()
