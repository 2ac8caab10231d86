# Black-box tests of the NTFS driver on image files formatted by mkntfs,
# checked with the ntfs-3g tools.
file(GLOB ntfs_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/ntfs_*.sh)
foreach(script ${ntfs_scripts})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME ${name} COMMAND ${script} ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endforeach()
