# Release packages, made by CPack from the install rules: Debian packages on
# Linux, the zip on Windows. Included last, once every part has declared what
# it installs.
#
# Every install() rule names one of these components, and each component is
# one Debian package:
#   runtime  libzelvorn1       the library (libzelvorn.so.1*) and the udev rules
#   dev      libzelvorn-dev    header, libzelvorn.so link, pkg-config file, CMake package
#   tools    zelvorn-tools     the tool, the virtual library, and whatever else a
#                              user runs by hand (man page, completion, dissector)
#   pcsc     libpcsc-zelvorn   the driver bundle that pcscd loads
#   pcsc-virtual libpcsc-zelvorn-virtual  the same driver on the virtual reader
# A part that installs into one of them lands in its package with no change
# here; a component missing from this table stops the configuration.
#
#   cpack --config build/CPackConfig.cmake      (packages in build/packages)
include(GNUInstallDirs)
set(CPACK_PACKAGE_NAME zelvorn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The zelvorn developers")
set(ZELVORN_MAINTAINER "zelvorn maintainers <maintainers@zelvorn.example>"
  CACHE STRING "Maintainer named in the Debian packages (name <address>)")
set(CPACK_PACKAGE_CONTACT "${ZELVORN_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

# For make dist, which checks what it made.
file(WRITE ${PROJECT_BINARY_DIR}/packaging/release.env "VERSION=${PROJECT_VERSION}\n")

# The release date, from CHANGELOG.md's newest entry, which must be this
# version's: the packages carry it, so they come out the same whenever they
# are built.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ZELVORN_NEWEST_RELEASE
  REGEX "^## \\[[^]]*\\] - [0-9-]+$" LIMIT_COUNT 1)
if(NOT ZELVORN_NEWEST_RELEASE MATCHES "^## \\[${PROJECT_VERSION}\\] - ([0-9]+)-([0-9]+)-([0-9]+)$")
  message(FATAL_ERROR "CHANGELOG.md: its newest entry is '${ZELVORN_NEWEST_RELEASE}', not "
                      "'## [${PROJECT_VERSION}] - YYYY-MM-DD'. Add the entry for this version.")
endif()
set(ZELVORN_RELEASE_YEAR ${CMAKE_MATCH_1})
set(ZELVORN_RELEASE_MONTH ${CMAKE_MATCH_2})
set(ZELVORN_RELEASE_DAY ${CMAKE_MATCH_3})

if(WIN32)
  # One zip with everything: a Windows user unpacks it and points the
  # compiler, or CMake, at it.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Host library for the Zelvorn contactless reader")
  set(CPACK_PACKAGE_FILE_NAME zelvorn-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in
    ${PROJECT_BINARY_DIR}/generated/README.txt @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/generated/README.txt DESTINATION . COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/CHANGELOG.md DESTINATION . COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/windows.md DESTINATION docs COMPONENT runtime)

  # The driver package that binds WinUSB to the reader, for machines without
  # the maker's installer: the build's USB IDs (upper-case, as Windows writes
  # hardware IDs), the interface class of the DLL, the release date and
  # version. CRLF, as Windows' own tools expect of an INF.
  string(TOUPPER ${ZELVORN_USB_VENDOR_ID} ZELVORN_INF_VENDOR_ID)
  string(TOUPPER ${ZELVORN_USB_PRODUCT_ID} ZELVORN_INF_PRODUCT_ID)
  set(ZELVORN_INF_DATE "${ZELVORN_RELEASE_MONTH}/${ZELVORN_RELEASE_DAY}/${ZELVORN_RELEASE_YEAR}")
  set(ZELVORN_INF ${PROJECT_BINARY_DIR}/generated/zelvorn.inf)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/zelvorn.inf.in ${ZELVORN_INF}
    @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${ZELVORN_INF} DESTINATION driver COMPONENT runtime)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Paths given absolute (pcscd's driver folder, say) are staged too.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies read from the binaries by dpkg-shlibdeps; the shlibs
# file tells it the same about libzelvorn.so.1 for programs built against us.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# A package that depends on another component depends on its exact version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# Debian's ways where CPack has its own: manual pages compressed, ldconfig
# run through dpkg's trigger rather than by maintainer scripts, files in
# /etc kept as conffiles.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/compress-manual-pages.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian/debian-ways.cmake)
set(ZELVORN_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzelvorn${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "host library for the Zelvorn contactless reader
The Zelvorn USB reader talks to MIFARE Classic cards, ISO/IEC 14443-4
processor cards, type B cards and ASK tickets. This library drives it
through a plain C interface of 35 functions, on libusb-1.0 and libudev.
.
The package also holds the udev rules that let the user at the seat
open the reader without root.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzelvorn-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "host library for the Zelvorn contactless reader - development files
The header zelvorn.h, the libzelvorn.so link, the pkg-config file and the
CMake package, for building programs that use libzelvorn.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zelvorn-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The tool loads the library when it runs, which dpkg-shlibdeps cannot see.
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# The tool's bash completion works with the helpers of bash-completion.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS bash-completion)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "command-line tool and virtual library for the Zelvorn contactless reader
The zelvorn command lists readers and cards, dumps and writes MIFARE
Classic cards, sends APDUs to processor cards and reads ASK tickets.
.
libzelvorn-virtual.so is a drop-in for libzelvorn on an emulated reader
and cards, for trying programs without the hardware.")

set(CPACK_DEBIAN_PCSC_PACKAGE_NAME libpcsc-zelvorn)
set(CPACK_DEBIAN_PCSC_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PCSC_PACKAGE_DEPENDS pcscd)
# The driver carries its own copy of the library but finds readers by the
# udev tag that libzelvorn1's rules give them.
set(CPACK_COMPONENT_PCSC_DEPENDS runtime)
set(CPACK_COMPONENT_PCSC_DESCRIPTION
  "PC/SC driver for the Zelvorn contactless reader
The driver bundle that pcscd loads to offer Zelvorn readers to PC/SC
programs, with the cards in their field as smart cards.")

set(CPACK_DEBIAN_PCSC-VIRTUAL_PACKAGE_NAME libpcsc-zelvorn-virtual)
set(CPACK_DEBIAN_PCSC-VIRTUAL_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PCSC-VIRTUAL_PACKAGE_DEPENDS pcscd)
set(CPACK_COMPONENT_PCSC-VIRTUAL_DESCRIPTION
  "PC/SC driver for the virtual Zelvorn reader
The same PC/SC driver on the emulated reader and cards, for trying PC/SC
programs without the hardware. pcscd loads it once its reader.conf entry
(in /usr/share/zelvorn/pcsc/) is copied into /etc/reader.conf.d/.")

# Each package carries its copyright file and Debian changelog, as Debian
# requires of every package (only there: make install leaves them out).
find_program(ZELVORN_GZIP gzip REQUIRED)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright
  ${PROJECT_BINARY_DIR}/packaging/copyright COPYONLY)
execute_process(COMMAND date -u -R -d "${ZELVORN_RELEASE_YEAR}-${ZELVORN_RELEASE_MONTH}-${ZELVORN_RELEASE_DAY}"
  OUTPUT_VARIABLE ZELVORN_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.Debian.in
  ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
  COMMAND ${ZELVORN_GZIP} -9nf -k ${PROJECT_BINARY_DIR}/packaging/changelog.Debian
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian)
add_custom_target(zelvorn_debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz)

get_cmake_property(ZELVORN_COMPONENTS COMPONENTS)
set(ZELVORN_DEB_PACKAGES "")
foreach(component IN LISTS ZELVORN_COMPONENTS)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  if(NOT package)
    message(FATAL_ERROR "install() rules put files in the component '${component}', which is "
                        "no package: name one of runtime, dev, tools, pcsc, pcsc-virtual in each install() "
                        "rule (COMPONENT), or add a package for it in cmake/packaging.cmake.")
  endif()
  string(APPEND ZELVORN_DEB_PACKAGES " ${package}")
  install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright
    ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component}
    EXCLUDE_FROM_ALL)
endforeach()

string(STRIP "${ZELVORN_DEB_PACKAGES}" ZELVORN_DEB_PACKAGES)
file(APPEND ${PROJECT_BINARY_DIR}/packaging/release.env
  "PACKAGES='${ZELVORN_DEB_PACKAGES}'\nLIBDIR=${CMAKE_INSTALL_LIBDIR}\n")
include(CPack)
