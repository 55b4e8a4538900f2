// echoback.cpp - loop-back peer: every received byte goes straight back, CR gains an LF.
#include "kestrel.h"

void EchobackMode(int port, int baud)
{
    RS_open(port, baud);
    printf("Entering EchobackMode: Escape=^%c\n", 'A');
    for (;;) {
        if (key_poll() == ESCAPE_KEY) break; // other keys are dropped
        if (RS_checkdata() == 0) continue;
        unsigned char b = 0;
        RS_read(&b, 1);
        RS_putc(b);
        putchar(b);
        if (b == '\r') {
            RS_putc('\n');
            putchar('\n');
        }
    }
    RS_close();
}
