# Run by CPack between staging the files and building the Debian packages:
# Debian ships manual pages compressed with gzip -9n, while the install rules
# lay them down plain (as a plain `make install` wants them).
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(page IN LISTS staged)
  if(page MATCHES "/share/man/([a-z_A-Z@.]+/)?man[1-9][a-z]*/[^/]+\\.[1-9][a-z]*$" AND NOT IS_SYMLINK "${page}")
    execute_process(COMMAND gzip -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
