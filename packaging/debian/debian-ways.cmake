# Run by CPack once the Debian packages are built, to do two things the
# Debian way where CPack has its own (or none):
#  - for a package with shared libraries on the linker's path, CPack writes
#    postinst and postrm scripts that call ldconfig themselves; Debian runs
#    ldconfig once through dpkg's trigger instead;
#  - files under /etc are the administrator's to edit: dpkg keeps their
#    changes when they are listed as conffiles.
# A package that needs neither is left as CPack made it.
find_program(DPKG_DEB dpkg-deb REQUIRED)
set(scripts postinst postrm)
set(actions configure remove)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${DPKG_DEB} -R "${package}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)

  # Only the scripts exactly as CPack writes them: anything else is left
  # alone (and the lintian test then names the problem).
  set(only_ldconfig TRUE)
  foreach(script action IN ZIP_LISTS scripts actions)
    file(GLOB found "${tree}/DEBIAN/${script}")
    if(found)
      file(READ "${found}" text)
    else()
      set(text "")
    endif()
    if(NOT text STREQUAL "#!/bin/sh\n\nset -e\n\nif [ \"$1\" = \"${action}\" ]; then\n\tldconfig\nfi\n")
      set(only_ldconfig FALSE)
    endif()
  endforeach()
  if(only_ldconfig)
    file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
    file(WRITE "${tree}/DEBIAN/triggers" "activate-noawait ldconfig\n")
    set(changed TRUE)
  endif()

  file(GLOB_RECURSE configuration LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/etc/*")
  if(configuration)
    list(SORT configuration)
    list(TRANSFORM configuration PREPEND "/")
    list(JOIN configuration "\n" conffiles)
    file(WRITE "${tree}/DEBIAN/conffiles" "${conffiles}\n")
    set(changed TRUE)
  endif()

  if(changed)
    file(REMOVE "${package}")
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz -b "${tree}" "${package}"
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
