// console.cpp - what the modes show on the console: received bytes, and
// messages that always start on a line of their own.
#include "console.h"
#include "view.h"
#include "platform/platform.h"

static bool line_open; // the last byte shown was not a line end
static rx_view view; // the terminal's -T and -x; both off: bytes as they are
static std::string view_text; // one block's view, written at once

// A mode's first line; what an earlier mode showed is over.
void console_banner(const char* mode)
{
    printf("Entering %s: Escape=^%c\n", mode, 'A');
    line_open = false;
    view.on_line = 0;
}

// How console_show shows received bytes from now on.
void console_view(bool stamps, bool hex)
{
    view = rx_view { stamps, hex, 0 };
}

// One console write for the block. at: the local time the bytes came, for
// the stamps (taken here when the caller has none).
void console_show(const unsigned char* data, int n, const plat_time* at)
{
    if (n <= 0) return;
    if (!view.stamps && !view.hex) {
        if (!plat_console_block(data, n)) fwrite(data, 1, (size_t)n, stdout);
        line_open = data[n - 1] != '\n';
        return;
    }
    plat_time now;
    if (view.stamps && !at) {
        plat_local_time(&now);
        at = &now;
    }
    view_text.clear();
    view_render(&view, data, n, at, &view_text);
    const unsigned char* text = (const unsigned char*)view_text.data();
    if (!plat_console_block(text, (int)view_text.size())) fwrite(text, 1, view_text.size(), stdout);
    line_open = !view_text.empty() && view_text.back() != '\n';
}

// Ends a line that received bytes left open, so that a message after them
// starts at the left edge. Only the console gets the line end, never the log;
// the bytes after the message start a line of the view (a new stamp).
void message_line(void)
{
    if (!line_open) return;
    fputc('\n', stdout);
    fflush(stdout);
    line_open = false;
    view.on_line = 0;
}
