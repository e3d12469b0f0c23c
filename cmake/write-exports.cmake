# Writes the export lists the build takes from include/zelvorn.h, so that a
# function is added in one place, the header:
#   zelvorn.def, zelvorn-virtual.def  the Windows DLLs' exports, by plain name
#   zelvorn_exports.h                 ZELVORN_EXPORTS(X): X(name) for every
#                                     function, in the header's order (the tool
#                                     looks them up by name at run time)
#
#   cmake -DHEADER=include/zelvorn.h -DOUT=<folder> -P write-exports.cmake
cmake_minimum_required(VERSION 3.20)

include(${CMAKE_CURRENT_LIST_DIR}/header-exports.cmake)
zelvorn_declared_sections(${HEADER} sections)

foreach(library zelvorn zelvorn-virtual)
  set(def "; Exports of ${library}.dll: exactly the functions declared in include/zelvorn.h,\n")
  string(APPEND def "; by their plain names. Written by the build from the header\n")
  string(APPEND def "; (cmake/write-exports.cmake): add a function there.\n")
  string(APPEND def "LIBRARY ${library}.dll\nEXPORTS\n")
  set(gap "")
  foreach(item ${sections})
    if(item MATCHES "^# (.*)")
      string(APPEND def "${gap}    ; ${CMAKE_MATCH_1}\n")
      set(gap "\n")
    else()
      string(APPEND def "    ${item}\n")
    endif()
  endforeach()
  zelvorn_write_if_changed(${OUT}/${library}.def "${def}")
endforeach()

set(list "// Written by the build from include/zelvorn.h (cmake/write-exports.cmake).\n")
string(APPEND list "// Every exported function, in the order of the header.\n")
string(APPEND list "#pragma once\n\n#define ZELVORN_EXPORTS(X)")
foreach(item ${sections})
  if(NOT item MATCHES "^# ")
    string(APPEND list " \\\n    X(${item})")
  endif()
endforeach()
zelvorn_write_if_changed(${OUT}/zelvorn_exports.h "${list}\n")
