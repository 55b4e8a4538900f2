// The Intel HEX and S-record output of -x: 16 data bytes a line, in address
// order, adjacent data merged into full lines. A line never runs across a
// 64 KiB boundary, where Intel HEX needs a new type 04 record.
#include "records/writer.h"
#include "output.h"
#include "records/parser.h"

#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

enum { LINE_BYTES = 16 };

static FILE* Out;
static OutKind Kind;
static int Width; // address bytes of an S-record data line
static const char* Eol;
static size_t EolLen;
static char Text[1 << 18]; // written in large blocks, which the system's file cache takes faster
static size_t TextLen;
static unsigned char Line[LINE_BYTES];
static uint32_t LineAddress, LineLen;
static uint32_t Upper; // as the latest type 04 record set it
static uint64_t DataLines;

static const char Digits[] = "0123456789ABCDEF";
static char Pairs[256][2]; // the two digits of each byte

static void make_pairs()
{
    for (int i = 0; i < 256; i++) {
        Pairs[i][0] = Digits[i >> 4];
        Pairs[i][1] = Digits[i & 15];
    }
}

static void flush_text()
{
    file_write(Text, TextLen, Out);
    TextLen = 0;
}

// The prefix, then each byte of the head and the data as two digits, and
// the checksum: Intel HEX's is the two's complement of the sum, the
// S-records' the one's complement.
static void put_record(const char* prefix, const unsigned char* head, unsigned head_n,
    const unsigned char* data, unsigned n)
{
    if (TextLen + 2 * (head_n + n) + 8 > sizeof Text) flush_text();
    char* p = Text + TextLen;
    bool intel = *prefix == ':';
    while (*prefix)
        *p++ = *prefix++;
    unsigned sum = 0;
    for (unsigned i = 0; i < head_n; i++, p += 2) {
        sum += head[i];
        memcpy(p, Pairs[head[i]], 2);
    }
    for (unsigned i = 0; i < n; i++, p += 2) {
        sum += data[i];
        memcpy(p, Pairs[data[i]], 2);
    }
    unsigned check = (intel ? 0u - sum : ~sum) & 0xff;
    memcpy(p, Pairs[check], 2);
    memcpy(p + 2, Eol, 2); // "\n" brings its NUL: the room is there
    TextLen = p + 2 + EolLen - Text;
}

// The 32 digits of 16 bytes, upper case; returns the bytes' sum.
static unsigned line_digits(char* p, const unsigned char* data)
{
#ifdef __SSE2__
    __m128i bytes = _mm_loadu_si128((const __m128i*)data);
    __m128i nibble = _mm_set1_epi8(0x0f);
    __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
    __m128i low = _mm_and_si128(bytes, nibble);
    // A nibble above 9 skips the 7 characters between '9' and 'A'.
    __m128i nine = _mm_set1_epi8(9), zero = _mm_set1_epi8('0'), skip = _mm_set1_epi8(7);
    high = _mm_add_epi8(_mm_add_epi8(high, zero), _mm_and_si128(_mm_cmpgt_epi8(high, nine), skip));
    low = _mm_add_epi8(_mm_add_epi8(low, zero), _mm_and_si128(_mm_cmpgt_epi8(low, nine), skip));
    _mm_storeu_si128((__m128i*)p, _mm_unpacklo_epi8(high, low));
    _mm_storeu_si128((__m128i*)(p + 16), _mm_unpackhi_epi8(high, low));
    __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());
    return (unsigned)(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
#else
    unsigned sum = 0;
    for (unsigned i = 0; i < LINE_BYTES; i++, p += 2) {
        sum += data[i];
        memcpy(p, Pairs[data[i]], 2);
    }
    return sum;
#endif
}

// The common line of an Intel HEX file: 16 data bytes, written without a
// loop over a head or a prefix.
static void intel_full_line(uint32_t address, const unsigned char* data)
{
    if (TextLen + 2 * (4 + LINE_BYTES) + 8 > sizeof Text) flush_text();
    char* p = Text + TextLen;
    unsigned char high = (unsigned char)(address >> 8), low = (unsigned char)address;
    memcpy(p, ":10", 3);
    memcpy(p + 3, Pairs[high], 2);
    memcpy(p + 5, Pairs[low], 2);
    memcpy(p + 7, "00", 2);
    p += 9;
    unsigned sum = LINE_BYTES + high + low + line_digits(p, data);
    p += 2 * LINE_BYTES;
    memcpy(p, Pairs[(0u - sum) & 0xff], 2);
    memcpy(p + 2, Eol, 2); // "\n" brings its NUL: the room is there
    TextLen = p + 2 + EolLen - Text;
}

static void intel_out(unsigned type, uint32_t address, const unsigned char* data, unsigned n)
{
    unsigned char head[4] = { (unsigned char)n, (unsigned char)(address >> 8),
        (unsigned char)address, (unsigned char)type };
    put_record(":", head, 4, data, n);
}

static void srec_out(char type, uint32_t address, int width, const unsigned char* data, unsigned n)
{
    unsigned char head[5];
    head[0] = (unsigned char)(width + n + 1);
    for (int i = 0; i < width; i++)
        head[1 + i] = (unsigned char)(address >> 8 * (width - 1 - i));
    char prefix[3] = { 'S', type, 0 };
    put_record(prefix, head, 1 + width, data, n);
}

// One data line, after a type 04 record when its upper 16 bits are new.
static void data_line(uint32_t address, const unsigned char* data, unsigned n)
{
    if (Kind == OUT_HEX) {
        if (address >> 16 != Upper) {
            Upper = address >> 16;
            unsigned char upper[2] = { (unsigned char)(Upper >> 8), (unsigned char)Upper };
            intel_out(4, 0, upper, 2);
        }
        if (n == LINE_BYTES)
            intel_full_line(address, data);
        else
            intel_out(0, address & 0xffff, data, n);
    } else {
        srec_out((char)('0' + Width - 1), address, Width, data, n);
    }
    DataLines++;
}

static void flush_line()
{
    if (LineLen) data_line(LineAddress, Line, LineLen);
    LineLen = 0;
}

void records_bytes(uint32_t address, const unsigned char* data, uint32_t n)
{
    while (n) {
        if (LineLen && address != LineAddress + LineLen) flush_line();
        uint32_t to_boundary = 0x10000 - (address & 0xffff);
        if (LineLen == 0 && n >= LINE_BYTES && to_boundary >= LINE_BYTES) {
            data_line(address, data, LINE_BYTES); // a whole line straight from the data
            address += LINE_BYTES;
            data += LINE_BYTES;
            n -= LINE_BYTES;
            continue;
        }
        if (LineLen == 0) LineAddress = address;
        uint32_t take = LINE_BYTES - LineLen;
        if (take > to_boundary) take = to_boundary;
        if (take > n) take = n;
        memcpy(Line + LineLen, data, take);
        LineLen += take;
        address += take;
        data += take;
        n -= take;
        if (LineLen == LINE_BYTES || (address & 0xffff) == 0) flush_line();
    }
}

// An S0 header that holds a file name.
static void srec_header(const char* name)
{
    size_t n = strlen(name);
    srec_out('0', 0, 2, (const unsigned char*)name, n < 64 ? (unsigned)n : 64);
}

void records_begin(FILE* out, OutKind kind, bool crlf, const char* header)
{
    if (Pairs[0][0] == 0) make_pairs();
    Out = out;
    Kind = kind;
    Width = kind == OUT_S19 ? 2 : kind == OUT_S28 ? 3 : 4;
    Eol = crlf ? "\r\n" : "\n";
    EolLen = strlen(Eol);
    TextLen = LineLen = Upper = 0;
    DataLines = 0;
    if (kind != OUT_HEX) srec_header(header);
}

// The start and end records; false when the output could not be written.
bool records_end(StartKind start_kind, uint32_t start)
{
    flush_line();
    if (Kind == OUT_HEX) {
        unsigned char bytes[4];
        for (int i = 0; i < 4; i++)
            bytes[i] = (unsigned char)(start >> 8 * (3 - i));
        if (start_kind != START_NONE) intel_out(start_kind == START_SEGMENT ? 3 : 5, 0, bytes, 4);
        intel_out(1, 0, nullptr, 0);
    } else {
        if (DataLines <= 0xffff)
            srec_out('5', (uint32_t)DataLines, 2, nullptr, 0);
        else if (DataLines <= 0xffffff)
            srec_out('6', (uint32_t)DataLines, 3, nullptr, 0);
        srec_out((char)('0' + 11 - Width), linear_start(start_kind, start), Width, nullptr, 0);
    }
    flush_text();
    return !ferror(Out);
}
