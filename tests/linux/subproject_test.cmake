# Configures tests/linux/subproject (a project that takes the repository in
# with add_subdirectory), builds its program and runs it. The reader's USB
# IDs are given in upper case, as a packager may copy them: the udev rules
# must still match sysfs, which writes them in lower case.
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
  -DZELVORN_USB_VENDOR_ID=12AB -DZELVORN_USB_PRODUCT_ID=C0DE
  -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
run("building its program" ${CMAKE_COMMAND} --build ${BUILD} --target consumer -j2)
run("running its program" ${BUILD}/consumer)
if(NOT output MATCHES "consumer ok")
  message(FATAL_ERROR "the program linked against the subproject said:\n${output}")
endif()

file(READ ${BUILD}/zelvorn/generated/70-zelvorn.rules rules)
if(NOT rules MATCHES "ATTR{idVendor}==\"12ab\", ATTR{idProduct}==\"c0de\"")
  message(FATAL_ERROR "the udev rules do not match the IDs 12AB:C0DE as sysfs writes them:\n${rules}")
endif()
