# Runs a program and checks its exit code and what it printed (stdout, then
# stderr), which a plain PASS_REGULAR_EXPRESSION would not (it ignores the
# exit code and sees one stream).
#   cmake -DEXIT_CODE=<n> -DEXPECT=<regex> -P expect_run.cmake -- <program> [args...]
set(command)
set(take OFF)
foreach(i RANGE ${CMAKE_ARGC})
  if(take AND DEFINED CMAKE_ARGV${i})
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif("${CMAKE_ARGV${i}}" STREQUAL "--")
    set(take ON)
  endif()
endforeach()
execute_process(COMMAND ${command} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
# A Windows program's line ends.
string(REPLACE "\r\n" "\n" printed "${out}${err}")
message("${printed}")
if(NOT result STREQUAL "${EXIT_CODE}")
  message(FATAL_ERROR "exit code ${result}, not ${EXIT_CODE}")
endif()
if(NOT printed MATCHES "${EXPECT}")
  message(FATAL_ERROR "what it printed does not match: ${EXPECT}")
endif()
