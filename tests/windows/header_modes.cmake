# Compiles a program that includes zelvorn.h in one compiler and language
# mode: it must build without a warning, and must not once the header's
# status record has grown by a byte, which proves the size check is in force
# in that mode rather than left out.
#
#   cmake -DSOURCE=<program> -DHEADER=<zelvorn.h> -DWORK=<folder> -P header_modes.cmake
#         -- <compiler and flags>...
# The header's folder is added with -I, which MSVC-style drivers take too.
set(command)
set(take OFF)
foreach(i RANGE ${CMAKE_ARGC})
  if(take AND DEFINED CMAKE_ARGV${i})
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif("${CMAKE_ARGV${i}}" STREQUAL "--")
    set(take ON)
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/grown)
file(READ ${HEADER} text)
string(REPLACE "    uint8_t statusE;\n" "    uint8_t statusE;\n    uint8_t statusGrown;\n" grown "${text}")
if(grown STREQUAL text)
  message(FATAL_ERROR "${HEADER}: no statusE member to grow the status record by")
endif()
file(WRITE ${WORK}/grown/zelvorn.h "${grown}")

# The program by its bare name, from its folder: an MSVC-style driver would
# take an absolute path (/work/...) for an option.
get_filename_component(include ${HEADER} DIRECTORY)
get_filename_component(folder ${SOURCE} DIRECTORY)
get_filename_component(program ${SOURCE} NAME)
execute_process(COMMAND ${command} -I${include} ${program} WORKING_DIRECTORY ${folder}
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "zelvorn.h does not compile this way:\n${out}${err}")
endif()

execute_process(COMMAND ${command} -I${WORK}/grown ${program} WORKING_DIRECTORY ${folder}
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(result EQUAL 0)
  message(FATAL_ERROR "a status record of 11 bytes compiles: the size check is not in force")
endif()
if(NOT "${out}${err}" MATCHES "ReaderStatusRecord")
  message(FATAL_ERROR "a status record of 11 bytes fails, but not at the size check:\n${out}${err}")
endif()
