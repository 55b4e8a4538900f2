// Buffered standard output. The dump prints millions of short fields, so
// they are formatted into one block and written with a single fwrite.
#include "output.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

static FILE* OutStream;
static bool ToError;
static int QuietDepth; // -d checks two files at once, each quietly
static char OutBuf[1 << 16];
static size_t OutLen;

// A stream set by out_set_stream (the tests' capture) takes everything.
static FILE* out_stream()
{
    return OutStream ? OutStream : ToError ? stderr : stdout;
}

static const char HexDigits[] = "0123456789abcdef";

void out_set_stream(FILE* stream)
{
    out_flush();
    OutStream = stream;
}

void out_to_error(bool on)
{
    out_flush();
    ToError = on;
}

// The first error writing the report (a full disk, a closed pipe), kept
// for the exit; errors on standard error itself have nowhere to go.
static int WriteErrno;

static void out_write(const char* text, size_t n)
{
    if (QuietDepth && !ToError) return; // a report on standard error still goes out
    FILE* stream = out_stream();
    bool failed = n && fwrite(text, 1, n, stream) != n;
    if (failed && stream != stderr && !WriteErrno) WriteErrno = errno ? errno : EIO;
}

void out_quiet(bool on)
{
    if (on && QuietDepth++ == 0) out_flush();
    if (!on && --QuietDepth == 0) OutLen = 0;
}

void out_flush()
{
    FILE* stream = out_stream();
    out_write(OutBuf, OutLen);
    OutLen = 0;
    if (fflush(stream) != 0 && stream != stderr && !WriteErrno) WriteErrno = errno ? errno : EIO;
}

bool out_ok()
{
    out_flush();
    return WriteErrno == 0;
}

int FailCode = 1;

const char* TempPath;
static FILE* TempFile;

void set_temp_path(const char* path, FILE* file)
{
    TempPath = path;
    TempFile = file;
    if (!path) temp_done();
}

// A report that could not be written is a failed run, whatever the mode did.
[[noreturn]] void out_exit(int code)
{
    if (!out_ok()) {
        fprintf(stderr, "Fatal: can't write standard output: %s\n", strerror(WriteErrno));
        if (code == 0 || code == 1) code = FailCode;
    }
    if (TempFile) fclose(TempFile); // Windows removes no open file
    if (TempPath) remove(TempPath);
    exit(code);
}

// Makes room for n more bytes; n is always far below the buffer size.
static char* out_reserve(size_t n)
{
    if (OutLen + n > sizeof OutBuf) {
        out_write(OutBuf, OutLen);
        OutLen = 0;
    }
    return OutBuf + OutLen;
}

static void out_raw(const char* text, size_t n)
{
    while (n) {
        size_t piece = n < 4096 ? n : 4096;
        memcpy(out_reserve(piece), text, piece);
        OutLen += piece;
        text += piece;
        n -= piece;
    }
}

void out_str(const char* text)
{
    out_raw(text, strlen(text));
}

void out_printf(const char* format, ...)
{
    char small[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return;
    if ((size_t)n < sizeof small) {
        out_raw(small, n);
        return;
    }
    // Long texts (a long garbled line) are formatted once more into the heap.
    char* big = (char*)malloc(n + 1);
    if (!big) return;
    va_start(args, format);
    vsnprintf(big, n + 1, format, args);
    va_end(args);
    out_raw(big, n);
    free(big);
}

void out_hex(uint32_t value, int min_digits)
{
    int digits = 1;
    while (digits < 8 && (value >> (4 * digits)))
        digits++;
    if (digits < min_digits) digits = min_digits;
    char* p = out_reserve(digits);
    for (int i = digits - 1; i >= 0; i--)
        *p++ = i < 8 ? HexDigits[(value >> (4 * i)) & 15] : '0';
    OutLen += digits;
}

void out_dec(uint64_t value)
{
    char digits[20];
    int n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    char* p = out_reserve(n);
    for (int i = 0; i < n; i++)
        p[i] = digits[n - 1 - i];
    OutLen += n;
}

void out_byte(unsigned value)
{
    char* p = out_reserve(3);
    p[0] = ' ';
    p[1] = HexDigits[(value >> 4) & 15];
    p[2] = HexDigits[value & 15];
    OutLen += 3;
}

void out_bytes(const unsigned char* data, int n)
{
    while (n > 0) {
        int piece = n < 256 ? n : 256;
        char* p = out_reserve(3 * piece);
        for (int i = 0; i < piece; i++) {
            p[0] = ' ';
            p[1] = HexDigits[data[i] >> 4];
            p[2] = HexDigits[data[i] & 15];
            p += 3;
        }
        OutLen += 3 * piece;
        data += piece;
        n -= piece;
    }
}

void out_newline()
{
    *out_reserve(1) = '\n';
    OutLen++;
}

void file_failed(const char* verb, const char* path, int error)
{
    out_printf("Fatal: can't %s file:%s\n%s\n", verb, path, strerror(error ? error : EIO));
}

int FileErrno;

bool file_write(const void* data, size_t n, FILE* file)
{
    if (n == 0 || fwrite(data, 1, n, file) == n) return true;
    if (!FileErrno) FileErrno = errno ? errno : EIO;
    return false;
}

// A stream error found only here takes the reason the failed write left.
bool file_close(FILE* file)
{
    bool failed = ferror(file) != 0;
    int earlier = errno;
    errno = 0;
    bool closed = fclose(file) == 0;
    int error = !closed && errno ? errno : earlier;
    if ((failed || !closed) && !FileErrno) FileErrno = error ? error : EIO;
    return closed && !failed;
}

// Standard error is unbuffered; what standard output holds goes first.
void out_error(const char* format, ...)
{
    out_flush();
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}
