# Black-box tests of the FAT driver on image files formatted by mkfs.fat,
# checked with fsck.fat and mtools.
file(GLOB fat_scripts CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fat_*.sh)
foreach(script ${fat_scripts})
  get_filename_component(name ${script} NAME_WE)
  if(NOT name STREQUAL "fat_lib")
    add_test(NAME ${name} COMMAND ${script} ${CMAKE_BINARY_DIR}/bin)
    set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  endif()
endforeach()
