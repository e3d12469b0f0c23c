# Configures tests/linux/subproject (a project that takes the repository in
# with add_subdirectory), builds its program and runs it.
#
#   cmake -DSOURCE=<repository> -DBUILD=<folder> -DC_COMPILER=<cc> -DCXX_COMPILER=<c++>
#         -P subproject_test.cmake
cmake_minimum_required(VERSION 3.20)

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
                  ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${what} failed (${result}):\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

run("configuring the including project"
  ${CMAKE_COMMAND} -S ${SOURCE}/tests/linux/subproject -B ${BUILD}
  -DZELVORN_SOURCE=${SOURCE} -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
run("building its program" ${CMAKE_COMMAND} --build ${BUILD} --target consumer -j2)
run("running its program" ${BUILD}/consumer)
if(NOT output MATCHES "consumer ok")
  message(FATAL_ERROR "the program linked against the subproject said:\n${output}")
endif()
