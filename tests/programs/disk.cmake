# Black-box tests of the disk commands on sparse image files, checked with
# independent tools (sfdisk and partx from util-linux/fdisk, blkid, cmp).
file(GLOB disk_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/disk_*.sh)
foreach(script ${disk_scripts})
  get_filename_component(name ${script} NAME_WE)
  if(NOT name STREQUAL "disk_lib")
    add_test(NAME ${name} COMMAND ${script} ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  endif()
endforeach()
