// console.cpp - what the modes show on the console: received bytes, and
// messages that always start on a line of their own.
#include "kestrel.h"

static bool line_open; // the last byte shown was not a line end

// A mode's first line; what an earlier mode showed is over.
void console_banner(const char* mode)
{
    printf("Entering %s: Escape=^%c\n", mode, 'A');
    line_open = false;
}

void console_show(const unsigned char* data, int n)
{
    if (n <= 0) return;
    fwrite(data, 1, (size_t)n, stdout);
    line_open = data[n - 1] != '\n';
}

// Ends a line that received bytes left open, so that a message after them
// starts at the left edge. Only the console gets the line end, never the log.
void message_line(void)
{
    if (!line_open) return;
    fputc('\n', stdout);
    fflush(stdout);
    line_open = false;
}
