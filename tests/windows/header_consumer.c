/* A program that includes zelvorn.h as its users do, compiled as C and as
 * C++ in every language mode they build with. It uses the declarations the
 * way a program does, so that each of them has to parse in that mode. */
#include <zelvorn.h>

int main(void) {
    ReaderStatusRecord record;
    uint8_t block[20];
    uint8_t length = 0;
    char version[32];
    int16_t reader = Zelvorn_Open(0);
    int16_t result = Zelvorn_Status(reader, block, &record);
    if (result == RESULT_OK) result = Zelvorn_RequestDLLVersion(&length, version);
    Zelvorn_Close(reader);
    return result == RESULT_OK && record.statusA == 0 ? 0 : 1;
}
