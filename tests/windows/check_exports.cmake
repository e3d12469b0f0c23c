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

# Declarations: "ZELVORN_API int16_t Name(" at the start of a line, possibly
# with pointers and line breaks between the parts (not the macro's #define).
file(READ ${HEADER} header)
string(REGEX MATCHALL "\nZELVORN_API[^;(]*[ *]([A-Za-z_][A-Za-z_0-9]*)[ \t\r\n]*\\(" declarations "${header}")
set(declared)
foreach(declaration ${declarations})
  string(REGEX REPLACE ".*[ *]([A-Za-z_][A-Za-z_0-9]*)[ \t\r\n]*\\($" "\\1" name "${declaration}")
  list(APPEND declared ${name})
endforeach()
list(REMOVE_DUPLICATES declared)
list(SORT declared)
if(NOT declared)
  message(FATAL_ERROR "no ZELVORN_API declarations found in ${HEADER}")
endif()

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

set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
list(LENGTH declared declared_count)
list(LENGTH exported exported_count)
if(missing OR extra)
  message(FATAL_ERROR "export table differs from the header (${declared_count} declared, "
                      "${exported_count} exported)\n"
                      "  declared but not exported: ${missing}\n"
                      "  exported but not declared: ${extra}\n"
                      "(add or remove the names in resources/zelvorn.def)")
endif()
message(STATUS "${exported_count} exports, as declared: ${exported}")

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
