# GoogleTest built from Debian's source package (/usr/src/googletest), for
# builds whose compiler cannot use the installed host libraries, such as the
# Windows cross build. Provides the same GTest:: targets as find_package.
set(ZELVORN_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${ZELVORN_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${ZELVORN_GOOGLETEST_SOURCE} (libgtest-dev)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${ZELVORN_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

foreach(lib gtest gtest_main gmock gmock_main)
  # Someone else's code: our warning flags are not its concern.
  target_compile_options(${lib} PRIVATE -w)
  if(NOT TARGET GTest::${lib})  # newer GoogleTest releases define these
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
