# The security commands run by the built archiver on scripts in a scratch
# directory that plays the security server.
add_test(NAME security_scripts
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/security_scripts.sh ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(security_scripts PROPERTIES TIMEOUT 300)
