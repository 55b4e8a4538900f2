// view.cpp - received bytes as the terminal shows them with -T (each line
// starts with the local time of its first byte) and -x (hex pairs, 16 to a
// line). Bytes and a time in, text out: no I/O here.
#include "view.h"
#include "platform/platform.h"
#include <cstring>

static const int HEX_LINE = 16; // pairs on a line of the hex view
static const int STAMP_LEN = 13; // "HH:MM:SS.mmm "

static void put_digits(char* p, int value, int digits)
{
    for (int i = digits - 1; i >= 0; i--, value /= 10)
        p[i] = (char)('0' + value % 10);
}

// "HH:MM:SS.mmm ": 24-hour clock, milliseconds, one blank.
static void format_stamp(const plat_time* t, char* p)
{
    put_digits(p, t->hour, 2);
    p[2] = ':';
    put_digits(p + 3, t->minute, 2);
    p[5] = ':';
    put_digits(p + 6, t->second, 2);
    p[8] = '.';
    put_digits(p + 9, t->msec, 3);
    p[12] = ' ';
}

// Text: a line ends at LF, so CR LF ends one line. A line that is still open
// after this block gets no new stamp from the next one.
static void render_text(rx_view* v, const unsigned char* p, const unsigned char* end,
    const char* stamp, std::string* out)
{
    while (p < end) {
        if (v->on_line == 0) out->append(stamp, STAMP_LEN);
        const unsigned char* lf = (const unsigned char*)memchr(p, '\n', (size_t)(end - p));
        const unsigned char* stop = lf ? lf + 1 : end;
        out->append((const char*)p, (size_t)(stop - p));
        v->on_line = lf ? 0 : 1;
        p = stop;
    }
}

// Hex: "41 42 0d 0a", a line end after the 16th pair; each line is built
// apart and appended whole.
static void render_hex(rx_view* v, const unsigned char* p, const unsigned char* end,
    const char* stamp, std::string* out)
{
    static const char digits[] = "0123456789abcdef";
    char line[STAMP_LEN + HEX_LINE * 3 + 1];
    while (p < end) {
        int len = 0;
        if (v->on_line == 0 && v->stamps) {
            memcpy(line, stamp, STAMP_LEN);
            len = STAMP_LEN;
        }
        for (; p < end && v->on_line < HEX_LINE; p++) {
            if (v->on_line++ > 0) line[len++] = ' ';
            line[len++] = digits[*p >> 4];
            line[len++] = digits[*p & 15];
        }
        if (v->on_line == HEX_LINE) {
            line[len++] = '\n';
            v->on_line = 0;
        }
        out->append(line, (size_t)len);
    }
}

void view_render(rx_view* v, const unsigned char* data, int n, const plat_time* at, std::string* out)
{
    if (n <= 0) return;
    char stamp[STAMP_LEN];
    if (v->stamps) format_stamp(at, stamp);
    if (v->hex)
        render_hex(v, data, data + n, stamp, out);
    else if (v->stamps)
        render_text(v, data, data + n, stamp, out);
    else
        out->append((const char*)data, (size_t)n);
}
