# Checks the built zelvorn.dll against the public header:
#   - its export table names exactly the functions declared ZELVORN_API in
#     include/zelvorn.h, by their plain names, nothing more or less;
#   - it imports from system DLLs only.
#
#   cmake -DOBJDUMP=... -DDLL=.../zelvorn.dll -DHEADER=.../zelvorn.h -P check_exports.cmake
cmake_minimum_required(VERSION 3.20)

foreach(var OBJDUMP DLL HEADER)
  if(NOT ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/header-exports.cmake)
zelvorn_declared_functions(${HEADER} declared)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()

# The export names follow "[Ordinal/Name Pointer] Table" as "[   n] Name".
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
set(exported)
if(start GREATER_EQUAL 0)
  string(SUBSTRING "${dump}" ${start} -1 table)
  string(REGEX REPLACE "\n[ \t]*\n.*" "" table "${table}")  # up to the first blank line
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
  foreach(row ${rows})
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
    string(STRIP "${name}" name)
    list(APPEND exported ${name})
  endforeach()
endif()
list(SORT exported)

zelvorn_compare_exports("${declared}" "${exported}" "(the build writes the .def from the header: cmake/write-exports.cmake)")

# Imports: the system's own DLLs and nothing a user would have to ship.
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(allowed kernel32.dll cfgmgr32.dll winusb.dll msvcrt.dll)
foreach(import ${imports})
  string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll_lower)
  if(NOT dll_lower IN_LIST allowed AND NOT dll_lower MATCHES "^api-ms-win-crt-")
    message(FATAL_ERROR "zelvorn.dll imports from ${dll}, which is no system DLL")
  endif()
endforeach()
