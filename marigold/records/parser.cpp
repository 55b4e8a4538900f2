// The -i mode's record reading: a line arrives in pieces of any size
// (info_feed), is decoded as it comes, and is judged when it ends
// (info_end_line). Only the first bytes of a record are kept; the sum, the
// count and the last byte cover the rest, however long the line.
#include "records/parser.h"
#include "options.h"
#include "output.h"
#include "records/lines.h"
#include "records/ranges.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

InfoState Info;

// An Intel record holds 4 + 255 + 1 bytes at most, an S-record 1 + 255: a
// longer line is a length mismatch whatever it holds.
enum { LINE_KEEP = 260 };
enum LinePhase { PHASE_START, PHASE_S_TYPE, PHASE_HEX, PHASE_GARBLED };

static struct {
    LinePhase phase;
    char kind; // ':' or the S-record type digit
    bool cr; // the text so far ends with a CR, allowed only before the line end
    int high; // a first hex digit waiting for its second, or -1
    uint64_t count; // bytes decoded
    uint32_t sum;
    unsigned char last;
    unsigned char bytes[LINE_KEEP];
} Line;

static void line_reset()
{
    Line.phase = PHASE_START;
    Line.cr = false;
    Line.high = -1;
    Line.count = 0;
    Line.sum = 0;
}

// The value of two hex digits, indexed by the first character plus 256
// times the second, or -1: one look-up per byte in the hot loop.
static int16_t PairValue[65536];

static void make_pair_table()
{
    for (int i = 0; i < 65536; i++) {
        int high = HexDigitValue[i & 0xff], low = HexDigitValue[i >> 8];
        PairValue[i] = (int16_t)((high | low) < 0 ? -1 : high << 4 | low);
    }
}

void info_reset()
{
    if (PairValue[0] == 0) make_pair_table(); // "\0\0" is no pair: -1 once made
    Info = InfoState {};
    ranges_clear();
    line_reset();
}

// A character that is no hex digit: only a CR right before the line end
// may stand there.
static void odd_character(const unsigned char* p, const unsigned char* end)
{
    if (*p == '\r' && p + 1 == end)
        Line.cr = true;
    else
        Line.phase = PHASE_GARBLED;
}

// The hot loop of -i: pairs of digits into bytes, with the line's figures
// held in locals so that the byte stores cannot make them reload.
static void decode_hex(const unsigned char* p, const unsigned char* end)
{
    const signed char* digit = HexDigitValue;
    uint64_t count = Line.count;
    uint32_t sum = Line.sum;
    unsigned last = Line.last;
    if (Line.high >= 0 && p < end) {
        int low = digit[*p];
        if (low < 0) return odd_character(p, end);
        last = Line.high << 4 | low;
        if (count < LINE_KEEP) Line.bytes[count] = (unsigned char)last;
        count++;
        sum += last;
        Line.high = -1;
        p++;
    }
    unsigned char* keep = Line.bytes;
#ifdef __SSE2__
    // Sixteen digits at a time while they are all hex digits.
    while (end - p >= 16 && count + 8 <= LINE_KEEP) {
        __m128i text = _mm_loadu_si128((const __m128i*)p);
        __m128i flip = _mm_set1_epi8((char)0x80); // unsigned compares through signed ones
        __m128i digit = _mm_sub_epi8(text, _mm_set1_epi8('0'));
        __m128i letter = _mm_sub_epi8(_mm_or_si128(text, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
        __m128i is_digit
            = _mm_cmplt_epi8(_mm_xor_si128(digit, flip), _mm_set1_epi8((char)(0x80 + 10)));
        __m128i is_letter
            = _mm_cmplt_epi8(_mm_xor_si128(letter, flip), _mm_set1_epi8((char)(0x80 + 6)));
        if (_mm_movemask_epi8(_mm_or_si128(is_digit, is_letter)) != 0xffff) break;
        __m128i value = _mm_or_si128(_mm_and_si128(is_digit, digit),
            _mm_andnot_si128(is_digit, _mm_add_epi8(letter, _mm_set1_epi8(10))));
        // Each 16-bit lane holds a pair: its first digit in the low byte.
        __m128i pairs = _mm_or_si128(
            _mm_slli_epi16(_mm_and_si128(value, _mm_set1_epi16(0xff)), 4), _mm_srli_epi16(value, 8));
        __m128i bytes = _mm_packus_epi16(pairs, _mm_setzero_si128());
        _mm_storel_epi64((__m128i*)(keep + count), bytes);
        sum += (uint32_t)_mm_cvtsi128_si32(_mm_sad_epu8(bytes, _mm_setzero_si128()));
        count += 8;
        last = keep[count - 1];
        p += 16;
    }
#endif
    // Four pairs at a time while they all fit the kept bytes; one invalid
    // pair among them leaves them to the loop below.
    while (end - p >= 8 && count + 4 <= LINE_KEEP) {
        int a = PairValue[p[0] | p[1] << 8], b = PairValue[p[2] | p[3] << 8];
        int c = PairValue[p[4] | p[5] << 8], d = PairValue[p[6] | p[7] << 8];
        if ((a | b | c | d) < 0) break;
        keep[count] = (unsigned char)a;
        keep[count + 1] = (unsigned char)b;
        keep[count + 2] = (unsigned char)c;
        keep[count + 3] = (unsigned char)d;
        count += 4;
        sum += a + b + c + d;
        last = d;
        p += 8;
    }
    while (end - p >= 2) {
        int value = PairValue[p[0] | p[1] << 8];
        if (value < 0) break;
        last = value;
        if (count < LINE_KEEP) keep[count] = (unsigned char)last;
        count++;
        sum += last;
        p += 2;
    }
    Line.count = count;
    Line.sum = sum;
    Line.last = (unsigned char)last;
    if (p == end) return;
    int high = digit[*p];
    if (high < 0) return odd_character(p, end);
    // A lone digit waits for its second, in the next piece or never: a line
    // that ends on it (before its CR) has an odd digit count and is garbled.
    Line.high = high;
    if (p + 1 < end) odd_character(p + 1, end);
}

void info_feed(const char* text, size_t n)
{
    const unsigned char* p = (const unsigned char*)text;
    const unsigned char* end = p + n;
    if (p == end || Line.phase == PHASE_GARBLED) return;
    if (Line.cr) {
        Line.phase = PHASE_GARBLED;
        return;
    }
    if (Line.phase == PHASE_START) {
        if (*p == ':') {
            Line.kind = ':';
            Line.phase = PHASE_HEX;
        } else if (*p == 'S') {
            Line.phase = PHASE_S_TYPE;
        } else {
            return odd_character(p, end);
        }
        if (++p == end) return;
    }
    if (Line.phase == PHASE_S_TYPE) {
        if (*p < '0' || *p > '9') return odd_character(p, end);
        Line.kind = (char)*p;
        Line.phase = PHASE_HEX;
        p++;
    }
    decode_hex(p, end);
}

// Starts a problem's line with "PATH:LINE: " and the text; the caller
// adds any figures and ends the line.
static void problem(const char* text)
{
    Info.problems++;
    out_str(InputPath);
    out_str(":");
    out_dec(Info.line);
    out_str(": ");
    out_str(text);
}

static void problem_line(const char* text)
{
    problem(text);
    out_newline();
}

// "(states N, holds M)" and the like.
static void two_counts(const char* first, uint64_t a, const char* second, uint64_t b)
{
    out_str(first);
    out_dec(a);
    out_str(second);
    out_dec(b);
    out_str(")\n");
}

// The line's data are kept for a mode that wants the image; on a replay
// they are all that is wanted, as the file was checked before.
static void add_data(uint32_t address, const unsigned char* data, uint32_t n)
{
    uint32_t column = (Line.kind == ':' ? 1 : 2) + 2 * (uint32_t)(data - Line.bytes);
    if (n) Info.pieces[Info.piece_count++] = LineData { address, data, n, column };
    if (Info.replay || Info.quick) return;
    ranges_add(address, n);
    for (int i = 0; i < OverlapCount; i++) {
        problem("overlap at ");
        out_hex(Overlaps[i].first, 8);
        out_str("-");
        out_hex(Overlaps[i].last, 8);
        out_newline();
    }
}

// Addresses run on past 0xffffffff to 0.
static void add_data_wrapping(uint32_t address, const unsigned char* data, uint32_t n)
{
    uint64_t room = (uint64_t)0x100000000 - address;
    uint32_t first = n < room ? n : (uint32_t)room;
    add_data(address, data, first);
    if (n > first) add_data(0, data + first, n - first);
}

static uint32_t big_endian(const unsigned char* bytes, int width)
{
    uint32_t value = 0;
    for (int i = 0; i < width; i++)
        value = value << 8 | bytes[i];
    return value;
}

// Length and checksum, common to both formats: true when both hold.
static bool record_sound(unsigned stated, uint64_t held, unsigned expected)
{
    if (held != stated) {
        problem("record length mismatch");
        two_counts(" (states ", stated, ", holds ", held);
        return false;
    }
    if (expected != Line.last) {
        problem("checksum error (expected");
        out_byte(expected);
        out_str(", found");
        out_byte(Line.last);
        out_str(")\n");
        return false;
    }
    return true;
}

static bool fixed_length(unsigned stated, unsigned needed)
{
    if (stated == needed) return true;
    problem("record length mismatch");
    two_counts(" (states ", stated, ", needs ", needed);
    return false;
}

// Type 02 addresses wrap inside their 64 KiB segment; type 04 addresses run
// on across 64 KiB boundaries.
static void intel_data(uint32_t offset, uint32_t n)
{
    const unsigned char* data = Line.bytes + 4;
    if (!Info.segmented) return add_data_wrapping(Info.base + offset, data, n);
    uint32_t first = n < 0x10000 - offset ? n : 0x10000 - offset;
    add_data(Info.base + offset, data, first);
    if (n > first) add_data(Info.base, data + first, n - first);
}

static void intel_record_info()
{
    const unsigned char* b = Line.bytes;
    int type = b[3];
    Info.records++;
    Info.intel_seen = true;
    if (type == 0) Info.data_records++;
    unsigned stated = b[0];
    if (!record_sound(stated, Line.count - 5, (0u - (Line.sum - Line.last)) & 0xff)) return;
    static const unsigned char fixed[6] = { 0, 0, 2, 4, 2, 4 };
    if (type > 5) {
        problem("unknown record type");
        out_byte(type);
        out_newline();
        return;
    }
    if (type != 0 && !fixed_length(stated, fixed[type])) return;
    if (type >= 2) Info.extended = true;
    switch (type) {
    case 0:
        return intel_data(big_endian(b + 1, 2), stated);
    case 1:
        Info.eof_record_seen = Info.ended = true;
        // An 8-bit file (no type 02 to 05 before) may give its start
        // address in the end record's address field.
        if (!Info.extended && big_endian(b + 1, 2) != 0) {
            Info.start_kind = START_LINEAR;
            Info.start = big_endian(b + 1, 2);
        }
        return;
    case 2:
    case 4:
        Info.segmented = type == 2;
        Info.base = big_endian(b + 4, 2) << (type == 2 ? 4 : 16);
        return;
    default:
        Info.start_kind = type == 3 ? START_SEGMENT : START_LINEAR;
        Info.start = big_endian(b + 4, 4);
    }
}

static void srec_record_info()
{
    static const unsigned char width_of[10] = { 2, 2, 3, 4, 0, 2, 3, 4, 3, 2 };
    int type = Line.kind - '0';
    const unsigned char* b = Line.bytes;
    Info.records++;
    Info.srec_seen = true;
    bool data = type >= 1 && type <= 3;
    unsigned stated = b[0];
    Info.data_records += data;
    Info.srec_data_records += data;
    if (!record_sound(stated, Line.count - 1, ~(Line.sum - Line.last) & 0xff)) return;
    if (type == 4) return problem_line("unknown record type S4");
    int width = width_of[type];
    if (type <= 3 ? stated < (unsigned)width + 1 : stated != (unsigned)width + 1)
        return (void)fixed_length(stated, width + 1);
    uint32_t address = big_endian(b + 1, width);
    if (data) {
        add_data_wrapping(address, b + 1 + width, stated - width - 1);
    } else if (type == 5 || type == 6) {
        if (!Info.replay && address != Info.srec_data_records) {
            problem("record count mismatch");
            two_counts(" (states ", address, ", counted ", Info.srec_data_records);
        }
    } else if (type >= 7) {
        Info.start_kind = START_LINEAR;
        Info.start = address;
        Info.ended = true;
    }
}

static void judge_line()
{
    bool garbled
        = Line.phase != PHASE_HEX || Line.high >= 0 || Line.count < (Line.kind == ':' ? 5u : 2u);
    if (Info.ended) {
        if (!Info.after_end_reported) problem_line("data after end of file");
        Info.after_end_reported = true;
        return;
    }
    if (garbled) return problem_line("garbled line");
    if (Line.kind == ':') {
        Info.checksum_column = 1 + 2 * (uint32_t)(Line.count - 1);
        intel_record_info();
    } else {
        Info.checksum_column = 2 + 2 * (uint32_t)(Line.count - 1);
        srec_record_info();
    }
}

void info_end_line()
{
    Info.line++;
    Info.piece_count = 0;
    if (Line.phase != PHASE_START) judge_line(); // blank lines are skipped
    line_reset();
}

// A CS:IP start (type 03) stays one in Intel HEX; S-records take its
// linear address.
uint32_t linear_start(StartKind start_kind, uint32_t start)
{
    if (start_kind == START_SEGMENT) return (start >> 16) * 16 + (start & 0xffff);
    return start_kind == START_NONE ? 0 : start;
}

void info_check_end()
{
    if (Info.intel_seen && !Info.eof_record_seen) {
        Info.problems++;
        out_str(InputPath);
        out_str(": no end-of-file record\n");
    }
}
