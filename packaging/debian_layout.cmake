# Run by CPack on the staged tree before it becomes the .deb: Debian wants
# manual pages and the changelog compressed; without a time stamp, so that
# equal sources give equal packages.
file(GLOB pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/man/man*/*.[1-8]")
foreach(file IN LISTS pages ITEMS "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/doc/nimbo-update/changelog")
  execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
