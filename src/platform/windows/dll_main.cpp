// The library's entry point.
#include <windows.h>

#include "readers/reader_table.h"

// Loading the library starts with every slot empty. Nothing else happens on
// any other notification: readers still open when the process ends are left
// to the system, which closes their handles anyway.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) zelvorn::ReaderTable_Clear();
    return TRUE;
}
