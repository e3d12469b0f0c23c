/*
 * A program built the way a Visual C++ user builds one: compiled for the
 * MSVC ABI, linked by an MSVC-style linker against zelvorn.lib, with no C
 * runtime. It proves the import library and the header's dllimport work
 * outside the GNU toolchain. Exit code 0 when the library answered.
 */
#include "zelvorn.h"

int ZelvornAppEntry(void) {
    return Zelvorn_Close(3) == ERR_INVALID_HANDLE && Zelvorn_Open(20) == ERR_OPEN_FAILED ? 0 : 1;
}
