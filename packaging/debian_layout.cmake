# Run by CPack on the staged trees (one per package) before they become the
# .deb files: Debian wants manual pages and changelogs compressed; without a
# time stamp, so that equal sources give equal packages.
file(GLOB files "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/usr/share/man/man*/*.[1-8]"
                "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/usr/share/doc/*/changelog")
foreach(file IN LISTS files)
  execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
