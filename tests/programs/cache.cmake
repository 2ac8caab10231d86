# The remote-file cache end to end on image files (tobrend -b, host files as
# the remote side), checked by the independent cache reader and mtools; the
# boot commands of both programs with ramdisks and kernels through the cache.
foreach(name cache_files cache_boot)
  add_test(NAME ${name} COMMAND ${CMAKE_CURRENT_LIST_DIR}/${name}.sh ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endforeach()
