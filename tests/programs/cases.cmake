# Black-box cases: each directory under cases/ runs a built program on a
# script and compares its output (see run_case.sh).
file(GLOB case_dirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/cases/*)
foreach(case_dir ${case_dirs})
  if(IS_DIRECTORY ${case_dir})
    get_filename_component(case_name ${case_dir} NAME)
    add_test(NAME case_${case_name}
             COMMAND ${CMAKE_CURRENT_LIST_DIR}/run_case.sh ${CMAKE_BINARY_DIR}/bin ${case_dir})
    set_tests_properties(case_${case_name} PROPERTIES TIMEOUT 120)
  endif()
endforeach()

add_test(NAME tobrend_waits_idle_and_breaks
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/tobrend_wait.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(tobrend_waits_idle_and_breaks PROPERTIES TIMEOUT 60)
