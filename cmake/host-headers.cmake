# Header-only libraries of the build machine (its Debian packages) for a
# cross build. Each library gets a folder of its own in the build tree that
# holds only a link to its headers, so the cross compiler never sees the
# host's /usr/include as a whole; a small package configuration in front of
# it lets find_package() work unchanged.
#
# Included by tool/CMakeLists.txt for cross builds only.
set(ZELVORN_HOST_HEADERS ${PROJECT_BINARY_DIR}/host-headers)

# zelvorn_host_headers(PACKAGE TARGET HEADER_DIR VERSION [DEFINITIONS ...])
function(zelvorn_host_headers package target header_dir version)
  set(root ${ZELVORN_HOST_HEADERS}/${package})
  if(NOT EXISTS /usr/include/${header_dir})
    message(FATAL_ERROR "${package}: /usr/include/${header_dir} is missing; "
                        "scripts/install-deps.sh installs it")
  endif()
  file(MAKE_DIRECTORY ${root}/include)
  if(NOT EXISTS ${root}/include/${header_dir})
    file(CREATE_LINK /usr/include/${header_dir} ${root}/include/${header_dir} SYMBOLIC)
  endif()
  string(REPLACE ";" " " definitions "${ARGN}")
  file(WRITE ${root}/${package}Config.cmake
"if(NOT TARGET ${target})
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES \"${root}/include\"
    INTERFACE_COMPILE_DEFINITIONS \"${ARGN}\")
endif()
")
  file(WRITE ${root}/${package}ConfigVersion.cmake
"set(PACKAGE_VERSION ${version})
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()
")
  set(${package}_DIR ${root} CACHE PATH "Host headers of ${package} for the cross build" FORCE)
endfunction()

zelvorn_host_headers(CLI11 CLI11::CLI11 CLI 2.1)
# fmt's compiled part comes along with its headers.
zelvorn_host_headers(fmt fmt::fmt fmt 9.1 FMT_HEADER_ONLY)
