/*
 * The typical card read: open the first reader, select the card in its
 * field, log in to sector 0 with key A and read block 1.
 *
 *   cc read_card.c -lzelvorn -o read_card
 */
#include <stdio.h>
#include <zelvorn.h>

static int fail(const char* step, int16_t result) {
    fprintf(stderr, "read_card: %s failed: %d\n", step, result);
    return 1;
}

int main(void) {
    static const uint8_t transportKey[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t cardType = 0, serialLength = 0, serial[10] = {0}, block[16] = {0};
    int16_t result;

    int16_t reader = Zelvorn_Open(0);
    if (reader < 0) return fail("Zelvorn_Open", reader);

    result = Zelvorn_Select(reader, &cardType, &serialLength, serial);
    if (result == RESULT_OK) result = Zelvorn_Login(reader, 0, KEYTYPE_A, 0, transportKey);
    if (result == RESULT_OK) result = Zelvorn_Read(reader, 1, block);
    Zelvorn_Close(reader);
    if (result != RESULT_OK) return fail("reading block 1", result);

    printf("card type %02X, serial ", cardType);
    for (int i = 0; i < serialLength && i < 10; ++i) printf("%02X", serial[i]);
    printf("\nblock 1:");
    for (int i = 0; i < 16; ++i) printf(" %02X", block[i]);
    printf("  |");
    for (int i = 0; i < 16; ++i) putchar(block[i] >= 0x20 && block[i] < 0x7F ? block[i] : '.');
    printf("|\n");
    return 0;
}
