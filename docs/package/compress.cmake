# Run by CPack on the staged package tree before it is packed: manual pages
# and the package's change log go in gzip-compressed (gzip -9n, so the same
# tree gives the same bytes), as Debian packages carry them.
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man*/*.[1-9]")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot compress ${page}")
  endif()
endforeach()
file(GLOB docs LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/vesklor")
foreach(doc IN LISTS docs)
  execute_process(COMMAND gzip -9nc "${CPACK_VK_PACKAGE_DIR}/changelog.Debian"
                  OUTPUT_FILE "${doc}/changelog.Debian.gz" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot write ${doc}/changelog.Debian.gz")
  endif()
endforeach()
