// The library's entry point.
#include <windows.h>

// Loading the library starts with every slot of the reader table empty: the
// table is static storage, which the loader hands over zeroed. Nothing
// happens on any notification: readers still open when the process ends are
// left to the system, which closes their handles anyway.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
