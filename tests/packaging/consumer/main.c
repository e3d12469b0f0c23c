/*
 * A program built against an installed release, the way its users build
 * one, and run on the virtual library in place of the real one: the first
 * reader opens, a card answers the select, and the library reports the
 * version the release carries (ZELVORN_EXPECTED_VERSION). Exit code 0 when
 * all of that holds, else the number of the step that failed.
 *
 * Built with ZELVORN_NO_C_RUNTIME it needs no C library at all, the way
 * clang in MSVC mode links it here without the Visual C++ runtime.
 */
#include <zelvorn.h>

#ifndef ZELVORN_EXPECTED_VERSION
#error "define ZELVORN_EXPECTED_VERSION, the release's version in quotes"
#endif

static int same_text(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

static int run(void) {
    uint8_t type = 0, length = 0, serial[10], versionLength = 0;
    char version[20]; /* no initialiser: that would call memset, absent without a C library */
    version[0] = '\0';
    version[19] = 'x';
    const int16_t reader = Zelvorn_Open(0);
    if (reader < 0) return 1;
    if (Zelvorn_Select(reader, &type, &length, serial) != RESULT_OK || length == 0) {
        Zelvorn_Close(reader);
        return 2;
    }
    if (Zelvorn_Close(reader) != RESULT_OK) return 3;
    if (Zelvorn_RequestDLLVersion(&versionLength, version) != RESULT_OK || versionLength != 20 ||
        version[19] != '\0' || !same_text(version, "Zelvorn DLL " ZELVORN_EXPECTED_VERSION))
        return 4;
    return 0;
}

#ifdef ZELVORN_NO_C_RUNTIME
int ZelvornAppEntry(void) { return run(); }
#else
#include <stdio.h>

int main(void) {
    const int failed = run();
    if (failed)
        printf("consumer: step %d failed\n", failed);
    else
        puts("consumer ok");
    return failed;
}
#endif
