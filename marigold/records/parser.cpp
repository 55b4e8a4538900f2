// The strict reading of record lines: a line arrives in pieces of any size
// (parser_feed), is decoded as it comes, and is judged when it ends
// (parser_end_line). Only the first bytes of a record are kept; the sum, the
// count and the last byte cover the rest, however long the line.
#include "records/parser.h"
#include "output.h"
#include "records/lines.h"
#include "records/ranges.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif


static void line_reset(RecordParser* parser)
{
    parser->open_line.phase = PHASE_START;
    parser->open_line.cr = false;
    parser->open_line.high = NO_HEX_DIGIT;
    parser->open_line.count = 0;
    parser->open_line.sum = 0;
}

// The value of two hex digits, indexed by the first character plus 256
// times the second, or NO_HEX_NUMBER: one look-up per byte in the hot loop.
static int16_t PairValue[65536];

static void make_pair_table()
{
    for (int i = 0; i < 65536; i++) {
        int high = HexDigitValue[i & 0xff], low = HexDigitValue[i >> 8];
        PairValue[i] = (int16_t)((high | low) < 0 ? NO_HEX_NUMBER : high << 4 | low);
    }
}

void parser_reset(RecordParser* parser, const char* path)
{
    if (PairValue[0] == 0) make_pair_table(); // "\0\0" is no pair once made
    *parser = RecordParser {};
    parser->path = path;
    line_reset(parser);
}

// A character that is no hex digit: only a CR right before the line end
// may stand there.
static void odd_character(RecordParser* parser, const unsigned char* p, const unsigned char* end)
{
    if (*p == '\r' && p + 1 == end)
        parser->open_line.cr = true;
    else
        parser->open_line.phase = PHASE_GARBLED;
}

#ifdef __SSE2__
// Sixteen characters as hex digits into the low eight bytes of *bytes; a
// bit for each of them that is a hex digit.
static inline int decode_sixteen(const unsigned char* p, __m128i* bytes)
{
    __m128i text = _mm_loadu_si128((const __m128i*)p);
    __m128i flip = _mm_set1_epi8((char)0x80); // unsigned compares through signed ones
    __m128i digit = _mm_sub_epi8(text, _mm_set1_epi8('0'));
    __m128i letter = _mm_sub_epi8(_mm_or_si128(text, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
    __m128i is_digit
        = _mm_cmplt_epi8(_mm_xor_si128(digit, flip), _mm_set1_epi8((char)(0x80 + 10)));
    __m128i is_letter
        = _mm_cmplt_epi8(_mm_xor_si128(letter, flip), _mm_set1_epi8((char)(0x80 + 6)));
    int digits = _mm_movemask_epi8(_mm_or_si128(is_digit, is_letter));
    __m128i value = _mm_or_si128(_mm_and_si128(is_digit, digit),
        _mm_andnot_si128(is_digit, _mm_add_epi8(letter, _mm_set1_epi8(10))));
    // Each 16-bit lane holds a pair: its first digit in the low byte.
    __m128i pairs = _mm_or_si128(
        _mm_slli_epi16(_mm_and_si128(value, _mm_set1_epi16(0xff)), 4), _mm_srli_epi16(value, 8));
    *bytes = _mm_packus_epi16(pairs, _mm_setzero_si128());
    return digits;
}

// An even count of hex digits into bytes, and their sum, read sixteen at a
// time: the last sixteen where they end, over some read before, whose bytes
// the sum leaves out; fewer than sixteen with the characters after them
// (room must be there). False when one of them is no hex digit.
static bool decode_digits(const unsigned char* p, size_t digits, unsigned char* out, uint32_t* sum)
{
    // Eight bytes from [8 - k] keep all but the first k; from [16 - k] the first k.
    static const unsigned char keep[24] = { 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
        0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 0 };
    __m128i bytes, zero = _mm_setzero_si128();
    if (digits < 16) {
        int wanted = (1 << digits) - 1;
        if ((decode_sixteen(p, &bytes) & wanted) != wanted) return false;
        _mm_storel_epi64((__m128i*)out, bytes);
        bytes = _mm_and_si128(bytes, _mm_loadl_epi64((const __m128i*)(keep + 16 - digits / 2)));
        *sum = (uint32_t)_mm_cvtsi128_si32(_mm_sad_epu8(bytes, zero));
        return true;
    }
    uint32_t total = 0;
    size_t i = 0;
    for (; i + 16 <= digits; i += 16) {
        if (decode_sixteen(p + i, &bytes) != 0xffff) return false;
        _mm_storel_epi64((__m128i*)(out + i / 2), bytes);
        total += (uint32_t)_mm_cvtsi128_si32(_mm_sad_epu8(bytes, zero));
    }
    if (i < digits) {
        size_t again = (16 - (digits - i)) / 2; // bytes decoded twice
        if (decode_sixteen(p + digits - 16, &bytes) != 0xffff) return false;
        _mm_storel_epi64((__m128i*)(out + digits / 2 - 8), bytes);
        bytes = _mm_and_si128(bytes, _mm_loadl_epi64((const __m128i*)(keep + 8 - again)));
        total += (uint32_t)_mm_cvtsi128_si32(_mm_sad_epu8(bytes, zero));
    }
    *sum = total;
    return true;
}
#endif

// The hot loop of -i: pairs of digits into bytes, with the line's figures
// held in locals so that the byte stores cannot make them reload.
static void decode_hex(RecordParser* parser, const unsigned char* p, const unsigned char* end)
{
    const signed char* digit = HexDigitValue;
    uint64_t count = parser->open_line.count;
    uint32_t sum = parser->open_line.sum;
    unsigned last = parser->open_line.last;
    if (parser->open_line.high >= 0 && p < end) {
        int low = digit[*p];
        if (low < 0) return odd_character(parser, p, end);
        last = parser->open_line.high << 4 | low;
        if (count < LINE_KEEP) parser->open_line.bytes[count] = (unsigned char)last;
        count++;
        sum += last;
        parser->open_line.high = NO_HEX_DIGIT;
        p++;
    }
    unsigned char* keep = parser->open_line.bytes;
#ifdef __SSE2__
    // Sixteen digits at a time while they are all hex digits.
    __m128i bytes;
    while (end - p >= 16 && count + 8 <= LINE_KEEP && decode_sixteen(p, &bytes) == 0xffff) {
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
    parser->open_line.count = count;
    parser->open_line.sum = sum;
    parser->open_line.last = (unsigned char)last;
    if (p == end) return;
    int high = digit[*p];
    if (high < 0) return odd_character(parser, p, end);
    // A lone digit waits for its second, in the next piece or never: a line
    // that ends on it (before its CR) has an odd digit count and is garbled.
    parser->open_line.high = high;
    if (p + 1 < end) odd_character(parser, p + 1, end);
}

void parser_feed(RecordParser* parser, const char* text, size_t n)
{
    const unsigned char* p = (const unsigned char*)text;
    const unsigned char* end = p + n;
    if (p == end || parser->open_line.phase == PHASE_GARBLED) return;
    if (parser->open_line.cr) {
        parser->open_line.phase = PHASE_GARBLED;
        return;
    }
    if (parser->open_line.phase == PHASE_START) {
        if (*p == ':') {
            parser->open_line.kind = ':';
            parser->open_line.phase = PHASE_HEX;
        } else if (*p == 'S') {
            parser->open_line.phase = PHASE_S_TYPE;
        } else {
            return odd_character(parser, p, end);
        }
        if (++p == end) return;
    }
    if (parser->open_line.phase == PHASE_S_TYPE) {
        if (*p < '0' || *p > '9') return odd_character(parser, p, end);
        parser->open_line.kind = (char)*p;
        parser->open_line.phase = PHASE_HEX;
        p++;
    }
    decode_hex(parser, p, end);
}

// The length of the record line at text as its count field states it,
// without the line end, and the characters before its digits; 0 when the
// text does not begin with a count.
static size_t stated_length(const unsigned char* text, size_t n, size_t* prefix)
{
    if (n < 4) return 0;
    *prefix = text[0] == ':' ? 1 : text[0] == 'S' && text[1] >= '0' && text[1] <= '9' ? 2 : 0;
    if (!*prefix) return 0;
    int count = PairValue[text[*prefix] | text[*prefix + 1] << 8];
    if (count < 0) return 0;
    return *prefix + 2 * ((*prefix == 1 ? 5 : 1) + (size_t)count);
}

size_t parser_whole_line(RecordParser* parser, const char* text, size_t n)
{
    const unsigned char* p = (const unsigned char*)text;
    size_t prefix = 0, length = stated_length(p, n, &prefix);
    if (!length || parser->open_line.phase != PHASE_START) return 0;
    size_t end = length < n && p[length] == '\r' ? length + 1 : length;
    if (end >= n || p[end] != '\n') return 0;
    LineState* line = &parser->open_line;
    line->kind = prefix == 1 ? ':' : (char)p[1];
#ifdef __SSE2__
    size_t digits = length - prefix;
    if (digits >= 16 || n - prefix >= 16) {
        if (!decode_digits(p + prefix, digits, line->bytes, &line->sum)) return 0;
        line->phase = PHASE_HEX;
        line->count = digits / 2;
        line->last = line->bytes[digits / 2 - 1];
        line->cr = end != length;
        parser_end_line(parser);
        return end + 1;
    }
#endif
    line->phase = PHASE_HEX;
    decode_hex(parser, p + prefix, p + end);
    // A line feed among the digits would have ended the line before: such
    // text is left to be read piece by piece.
    if (parser->open_line.phase != PHASE_HEX || parser->open_line.high >= 0
        || parser->open_line.count != (length - prefix) / 2) {
        line_reset(parser);
        return 0;
    }
    parser_end_line(parser);
    return end + 1;
}

// Starts a problem's line with "PATH:LINE: " and the text; the caller
// adds any figures and ends the line.
static void problem(RecordParser* parser, const char* text)
{
    parser->problems++;
    out_str(parser->path);
    out_str(":");
    out_dec(parser->line);
    out_str(": ");
    out_str(text);
}

static void problem_line(RecordParser* parser, const char* text)
{
    problem(parser, text);
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
static void add_data(RecordParser* parser, uint32_t address, const unsigned char* data, uint32_t n)
{
    uint32_t column = (parser->open_line.kind == ':' ? 1 : 2) + 2 * (uint32_t)(data - parser->open_line.bytes);
    if (n) parser->pieces[parser->piece_count++] = LineData { address, data, n, column };
    if (parser->replay || parser->quick) return;
    ranges_add(address, n);
    for (int i = 0; i < OverlapCount; i++) {
        problem(parser, "overlap at ");
        out_hex(Overlaps[i].first, 8);
        out_str("-");
        out_hex(Overlaps[i].last, 8);
        out_newline();
    }
}

// Addresses run on past 0xffffffff to 0.
static void add_data_wrapping(RecordParser* parser, uint32_t address, const unsigned char* data, uint32_t n)
{
    uint64_t room = (uint64_t)0x100000000 - address;
    uint32_t first = n < room ? n : (uint32_t)room;
    add_data(parser, address, data, first);
    if (n > first) add_data(parser, 0, data + first, n - first);
}

static uint32_t big_endian(const unsigned char* bytes, int width)
{
    uint32_t value = 0;
    for (int i = 0; i < width; i++)
        value = value << 8 | bytes[i];
    return value;
}

// Length and checksum, common to both formats: true when both hold.
static bool record_sound(RecordParser* parser, unsigned stated, uint64_t held, unsigned expected)
{
    if (held != stated) {
        problem(parser, "record length mismatch");
        two_counts(" (states ", stated, ", holds ", held);
        return false;
    }
    if (expected != parser->open_line.last) {
        problem(parser, "checksum error (expected");
        out_byte(expected);
        out_str(", found");
        out_byte(parser->open_line.last);
        out_str(")\n");
        return false;
    }
    return true;
}

static bool fixed_length(RecordParser* parser, unsigned stated, unsigned needed)
{
    if (stated == needed) return true;
    problem(parser, "record length mismatch");
    two_counts(" (states ", stated, ", needs ", needed);
    return false;
}

// Type 02 addresses wrap inside their 64 KiB segment; type 04 addresses run
// on across 64 KiB boundaries.
static void intel_data(RecordParser* parser, uint32_t offset, uint32_t n)
{
    const unsigned char* data = parser->open_line.bytes + 4;
    if (!parser->segmented) return add_data_wrapping(parser, parser->base + offset, data, n);
    uint32_t first = n < 0x10000 - offset ? n : 0x10000 - offset;
    add_data(parser, parser->base + offset, data, first);
    if (n > first) add_data(parser, parser->base, data + first, n - first);
}

static void intel_record_info(RecordParser* parser)
{
    const unsigned char* b = parser->open_line.bytes;
    int type = b[3];
    parser->records++;
    parser->intel_seen = true;
    if (type == 0) parser->data_records++;
    unsigned stated = b[0];
    if (!record_sound(parser, stated, parser->open_line.count - 5, (0u - (parser->open_line.sum - parser->open_line.last)) & 0xff)) return;
    static const unsigned char fixed[6] = { 0, 0, 2, 4, 2, 4 };
    if (type > 5) {
        problem(parser, "unknown record type");
        out_byte(type);
        out_newline();
        return;
    }
    if (type != 0 && !fixed_length(parser, stated, fixed[type])) return;
    if (type >= 2) parser->extended = true;
    switch (type) {
    case 0:
        return intel_data(parser, big_endian(b + 1, 2), stated);
    case 1:
        parser->eof_record_seen = parser->ended = true;
        // An 8-bit file (no type 02 to 05 before) may give its start
        // address in the end record's address field.
        if (!parser->extended && big_endian(b + 1, 2) != 0) {
            parser->start_kind = START_LINEAR;
            parser->start = big_endian(b + 1, 2);
        }
        return;
    case 2:
    case 4:
        parser->segmented = type == 2;
        parser->base = big_endian(b + 4, 2) << (type == 2 ? 4 : 16);
        return;
    default:
        parser->start_kind = type == 3 ? START_SEGMENT : START_LINEAR;
        parser->start = big_endian(b + 4, 4);
    }
}

static void srec_record_info(RecordParser* parser)
{
    static const unsigned char width_of[10] = { 2, 2, 3, 4, 0, 2, 3, 4, 3, 2 };
    int type = parser->open_line.kind - '0';
    const unsigned char* b = parser->open_line.bytes;
    parser->records++;
    parser->srec_seen = true;
    bool data = type >= 1 && type <= 3;
    unsigned stated = b[0];
    parser->data_records += data;
    parser->srec_data_records += data;
    if (!record_sound(parser, stated, parser->open_line.count - 1, ~(parser->open_line.sum - parser->open_line.last) & 0xff)) return;
    if (type == 4) return problem_line(parser, "unknown record type S4");
    int width = width_of[type];
    if (type <= 3 ? stated < (unsigned)width + 1 : stated != (unsigned)width + 1)
        return (void)fixed_length(parser, stated, width + 1);
    uint32_t address = big_endian(b + 1, width);
    if (data) {
        add_data_wrapping(parser, address, b + 1 + width, stated - width - 1);
    } else if (type == 5 || type == 6) {
        if (!parser->replay && address != parser->srec_data_records) {
            problem(parser, "record count mismatch");
            two_counts(" (states ", address, ", counted ", parser->srec_data_records);
        }
    } else if (type >= 7) {
        parser->start_kind = START_LINEAR;
        parser->start = address;
        parser->ended = true;
    }
}

static void judge_line(RecordParser* parser)
{
    bool garbled
        = parser->open_line.phase != PHASE_HEX || parser->open_line.high >= 0 || parser->open_line.count < (parser->open_line.kind == ':' ? 5u : 2u);
    if (parser->ended) {
        if (!parser->after_end_reported) problem_line(parser, "data after end of file");
        parser->after_end_reported = true;
        return;
    }
    if (garbled) return problem_line(parser, "garbled line");
    if (parser->open_line.kind == ':') {
        parser->checksum_column = 1 + 2 * (uint32_t)(parser->open_line.count - 1);
        intel_record_info(parser);
    } else {
        parser->checksum_column = 2 + 2 * (uint32_t)(parser->open_line.count - 1);
        srec_record_info(parser);
    }
}

void parser_end_line(RecordParser* parser)
{
    parser->line++;
    parser->piece_count = 0;
    if (parser->open_line.phase != PHASE_START) judge_line(parser); // blank lines are skipped
    line_reset(parser);
}

// A CS:IP start (type 03) stays one in Intel HEX; S-records take its
// linear address.
uint32_t linear_start(StartKind start_kind, uint32_t start)
{
    if (start_kind == START_SEGMENT) return (start >> 16) * 16 + (start & 0xffff);
    return start_kind == START_NONE ? 0 : start;
}

void parser_check_end(RecordParser* parser)
{
    if (parser->intel_seen && !parser->eof_record_seen) {
        parser->problems++;
        out_str(parser->path);
        out_str(": no end-of-file record\n");
    }
}
