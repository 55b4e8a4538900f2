// Record lines: reading a text file a line at a time under the 255-character
// limit, turning hexadecimal text into RecordBytes, and sorting lines into
// Intel HEX records, S-records and garbled lines.
#include "records/lines.h"
#include "options.h"
#include "output.h"

#include <cerrno>
#include <cstring>

RecordBuffer RecordBytes;

// Lines are read through one block buffer that belongs to the stream last
// handed to get_line; close_input() lets go of it.
static FILE* ReadStream;
static unsigned char ReadBuf[1 << 16];
static size_t ReadPos, ReadEnd;

// A path that opens but cannot be read (a directory on Linux) is refused
// here, before a mode creates its output.
FILE* open_input()
{
    return open_path(InputPath);
}

FILE* open_path(const char* path)
{
    errno = 0;
    FILE* in = fopen(path, "rb");
    int first = in ? fgetc(in) : EOF;
    if (!in || (first == EOF && ferror(in))) {
        int error = errno;
        if (in) fclose(in);
        file_failed("open", path, error);
        out_exit(FailCode);
    }
    if (first != EOF) ungetc(first, in);
    return in;
}

// A read error (a directory on Linux, a failing disk) must not pass for an
// ordinary end of file.
void close_input(FILE* in)
{
    close_path(in, InputPath);
}

void close_path(FILE* in, const char* path)
{
    bool failed = ferror(in);
    int error = errno;
    if (ReadStream == in) ReadStream = nullptr;
    fclose(in);
    if (failed) {
        file_failed("read", path, error);
        out_exit(FailCode);
    }
}

// Refills the block buffer; false at the end of the input or on an error.
static bool refill(FILE* in)
{
    if (ReadStream != in) {
        ReadStream = in;
        ReadPos = ReadEnd = 0;
    }
    if (ReadPos < ReadEnd) return true;
    ReadPos = 0;
    ReadEnd = fread(ReadBuf, 1, sizeof ReadBuf, in);
    return ReadEnd != 0;
}

int get_line(char* line, FILE* in)
{
    int stored = 0;
    for (;;) {
        if (!refill(in)) {
            line[stored] = 0;
            return INPUT_ENDED;
        }
        const unsigned char* p = ReadBuf + ReadPos;
        const unsigned char* end = ReadBuf + ReadEnd;
        while (p < end) {
            unsigned char c = *p++;
            if (c == '\n') {
                ReadPos = p - ReadBuf;
                line[stored] = 0;
                return LINE_ENDED;
            }
            if (c == '\r') continue;
            line[stored++] = (char)c;
            if (stored == LINE_MAX_CHARS) {
                ReadPos = p - ReadBuf;
                line[stored] = 0;
                return LINE_CUT;
            }
        }
        ReadPos = ReadEnd;
    }
}

struct DigitTable {
    signed char value[256];
};

static constexpr DigitTable make_digit_table()
{
    DigitTable table {};
    for (int c = 0; c < 256; c++)
        table.value[c] = NO_HEX_DIGIT;
    for (int c = '0'; c <= '9'; c++)
        table.value[c] = (signed char)(c - '0');
    for (int c = 'a'; c <= 'f'; c++)
        table.value[c] = (signed char)(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; c++)
        table.value[c] = (signed char)(c - 'A' + 10);
    return table;
}

static constexpr DigitTable Digits = make_digit_table();
const signed char* const HexDigitValue = Digits.value;

static inline int hex_digit(unsigned char c)
{
    return Digits.value[c];
}

static bool scan_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The rare pairs that do not start with a digit, read the way "%x" reads
// them: white space skipped, then an optional sign before the digits.
static int hex_pair_unusual(const unsigned char* text)
{
    unsigned char first = text[0];
    if (first == 0) return NO_HEX_NUMBER;
    int second = text[1] ? hex_digit(text[1]) : NO_HEX_DIGIT;
    if (second == NO_HEX_DIGIT) return NO_HEX_NUMBER;
    if (first == '-') return -second;
    if (first == '+' || scan_space(first)) return second;
    return NO_HEX_NUMBER;
}

static inline int hex_pair_inline(const char* text)
{
    const unsigned char* t = (const unsigned char*)text;
    int high = hex_digit(t[0]);
    if (high < 0) return hex_pair_unusual(t);
    if (t[1] == 0) return high;
    int low = hex_digit(t[1]);
    return low < 0 ? high : high * 16 + low;
}

int hex_pair(const char* text)
{
    return hex_pair_inline(text);
}

int decode_record_bytes(const char* text)
{
    RecordBytes.count = 0;
    while (*text && RecordBytes.count < RECORD_BYTES_SIZE) {
        int value = hex_pair_inline(text);
        if (value < 0) return value;
        RecordBytes.bytes[RecordBytes.count++] = (unsigned char)value;
        text += text[1] ? 2 : 1;
    }
    return 0;
}
