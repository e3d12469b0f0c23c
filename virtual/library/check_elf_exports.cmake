# Checks that a built shared library exports exactly the functions declared
# ZELVORN_API in the public header, the same set as the real library.
#
#   cmake -DNM=nm -DLIBRARY=.../libzelvorn-virtual.so -DHEADER=.../zelvorn.h -P check_elf_exports.cmake
cmake_minimum_required(VERSION 3.20)

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

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} -D ${LIBRARY} failed")
endif()
# Function symbols: "address T name".
string(REGEX MATCHALL "[0-9a-f]+ T [^\n]+" rows "${dump}")
set(exported)
foreach(row ${rows})
  string(REGEX REPLACE "^[0-9a-f]+ T " "" name "${row}")
  list(APPEND exported ${name})
endforeach()
list(SORT exported)

set(missing ${declared})
list(REMOVE_ITEM missing ${exported})
set(extra ${exported})
list(REMOVE_ITEM extra ${declared})
if(missing OR extra)
  message(FATAL_ERROR "exports differ from the header\n"
                      "  declared but not exported: ${missing}\n"
                      "  exported but not declared: ${extra}")
endif()
list(LENGTH exported count)
message(STATUS "${count} exports, as declared")
