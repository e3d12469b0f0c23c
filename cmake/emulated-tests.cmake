# Tests of cross-compiled programs, run through CMAKE_CROSSCOMPILING_EMULATOR
# (wine for the Windows build, see cmake/mingw-w64.cmake and
# scripts/wine-run.sh). Every such test of a build tree shares the wine
# prefix below, made on first use.
set(ZELVORN_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)

# zelvorn_add_emulated_test(TARGET [NAME name] [ARGS ...] [ENVIRONMENT VAR=value ...])
function(zelvorn_add_emulated_test target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME" "ARGS;ENVIRONMENT")
  if(NOT arg_NAME)
    set(arg_NAME ${target})
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${target} ${arg_ARGS})
  set_tests_properties(${arg_NAME} PROPERTIES
    ENVIRONMENT "WINEPREFIX=${ZELVORN_WINEPREFIX};${arg_ENVIRONMENT}"
    TIMEOUT 300)
endfunction()
