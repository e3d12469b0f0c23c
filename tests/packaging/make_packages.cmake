# Makes the release packages of a built tree with CPack into a fresh folder,
# and unpacks a zip into a fresh folder beside it when asked.
#
#   cmake -DCONFIG=<tree>/CPackConfig.cmake -DOUT=<folder> [-DUNPACK=<folder>]
#         -P make_packages.cmake
file(REMOVE_RECURSE ${OUT})
if(UNPACK)
  file(REMOVE_RECURSE ${UNPACK})
endif()
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} --config ${CONFIG} -B ${OUT}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${output}")
endif()
if(UNPACK)
  file(GLOB archives ${OUT}/*.zip)
  list(LENGTH archives count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "cpack made ${count} zip files in ${OUT}, not one: ${archives}")
  endif()
  file(ARCHIVE_EXTRACT INPUT ${archives} DESTINATION ${UNPACK})
endif()
