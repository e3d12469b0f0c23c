/* Links and calls the installed library without a reader: both calls are
 * answered from the reader table alone. */
#include <stdio.h>
#include <zelvorn.h>

int main(void) {
    const int16_t open = Zelvorn_Open(ZELVORN_MAX_READERS);
    const int16_t close = Zelvorn_Close(0);
    if (open != ERR_OPEN_FAILED || close != ERR_INVALID_HANDLE) {
        printf("unexpected results %d %d\n", open, close);
        return 1;
    }
    puts("consumer ok");
    return 0;
}
