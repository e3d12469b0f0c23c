# Checks that a built shared library exports exactly the functions declared
# ZELVORN_API in the public header, the same set as the real library.
#
#   cmake -DNM=nm -DLIBRARY=.../libzelvorn-virtual.so -DHEADER=.../zelvorn.h -P check_elf_exports.cmake
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/header-exports.cmake)
zelvorn_declared_functions(${HEADER} declared)

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

zelvorn_compare_exports("${declared}" "${exported}" "")
