# Cross-compiles the library for 64-bit Windows with mingw-w64 (Debian's
# g++-mingw-w64-x86-64). Programs built this way run here through wine.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZELVORN_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model, whose libstdc++ has std::mutex and std::thread
# (GoogleTest needs them); its winpthread is linked statically like the rest.
find_program(CMAKE_C_COMPILER NAMES ${ZELVORN_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ZELVORN_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${ZELVORN_MINGW_TRIPLET}-windres REQUIRED)
find_program(ZELVORN_MINGW_OBJDUMP NAMES ${ZELVORN_MINGW_TRIPLET}-objdump REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${ZELVORN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into every binary, so that zelvorn.dll
# and the test programs depend on system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under wine. Debian keeps the 64-bit loader outside PATH.
find_program(ZELVORN_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine /opt/wine-stable/bin
  REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh ${ZELVORN_WINE})
