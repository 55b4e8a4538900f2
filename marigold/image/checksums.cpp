// CRCs and sums: the catalogue, the -K text, the engine and identification.
// CRCs are table-driven, eight bytes a step (slicing-by-8): a reflected CRC
// keeps its register reflected in the low bits, any other keeps it aligned
// to bit 31, so one table layout serves every width from 8 to 32.
#include "checksums.h"

#include <cstdio>
#include <cstring>

// The check values are those of the CRC catalogues for "123456789"; the
// sums pad the ninth byte's word with zero bytes.
const ChecksumAlgorithm ChecksumCatalogue[] = {
    { "crc32", KIND_CRC, 32, 1, false, false, { 32, 0x04c11db7, 0xffffffff, true, true, 0xffffffff },
        FINISH_PLAIN, SELF_FILL, 0, 0xcbf43926 },
    { "crc32c", KIND_CRC, 32, 1, false, false, { 32, 0x1edc6f41, 0xffffffff, true, true, 0xffffffff },
        FINISH_PLAIN, SELF_FILL, 0, 0xe3069283 },
    { "crc32-mpeg2", KIND_CRC, 32, 1, false, false, { 32, 0x04c11db7, 0xffffffff, false, false, 0 },
        FINISH_PLAIN, SELF_FILL, 0, 0x0376e6e7 },
    { "stm32", KIND_CRC, 32, 4, true, false, { 32, 0x04c11db7, 0xffffffff, false, false, 0 },
        FINISH_PLAIN, SELF_FILL, 0, 0xaff19057 },
    { "crc16-ccitt-false", KIND_CRC, 16, 1, false, false, { 16, 0x1021, 0xffff, false, false, 0 },
        FINISH_PLAIN, SELF_FILL, 0, 0x29b1 },
    { "crc16-xmodem", KIND_CRC, 16, 1, false, false, { 16, 0x1021, 0, false, false, 0 },
        FINISH_PLAIN, SELF_FILL, 0, 0x31c3 },
    { "crc16-modbus", KIND_CRC, 16, 1, false, false, { 16, 0x8005, 0xffff, true, true, 0 },
        FINISH_PLAIN, SELF_FILL, 0, 0x4b37 },
    { "crc16-arc", KIND_CRC, 16, 1, false, false, { 16, 0x8005, 0, true, true, 0 }, FINISH_PLAIN,
        SELF_FILL, 0, 0xbb3d },
    { "crc8", KIND_CRC, 8, 1, false, false, { 8, 0x07, 0, false, false, 0 }, FINISH_PLAIN, SELF_FILL,
        0, 0xf4 },
    { "sum8", KIND_SUM, 8, 1, false, false, {}, FINISH_PLAIN, SELF_FILL, 0, 0xdd },
    { "sum16", KIND_SUM, 16, 2, false, false, {}, FINISH_PLAIN, SELF_FILL, 0, 0xd509 },
    { "sum32", KIND_SUM, 32, 4, false, false, {}, FINISH_PLAIN, SELF_FILL, 0, 0x6c6a689f },
    { "neg-sum32", KIND_SUM, 32, 4, false, false, {}, FINISH_NEGATE, SELF_ZERO, 0, 0x93959761 },
    { "not-sum32", KIND_SUM, 32, 4, false, false, {}, FINISH_INVERT, SELF_ZERO, 0, 0x93959760 },
    { "fletcher16", KIND_FLETCHER16, 16, 1, false, false, {}, FINISH_PLAIN, SELF_FILL, 0, 0x1ede },
    { "adler32", KIND_ADLER32, 32, 1, false, false, {}, FINISH_PLAIN, SELF_FILL, 0, 0x091e01de },
    // The word that makes the first eight little-endian words add up to zero,
    // as -c checks and -w writes it.
    { "word7", KIND_SUM, 32, 4, true, true, {}, FINISH_NEGATE, SELF_ZERO, 32, 0x93959761 },
};
const int ChecksumCatalogueSize = sizeof ChecksumCatalogue / sizeof ChecksumCatalogue[0];

static const char CustomForm[] = "crc:WIDTH,POLY,INIT,REFIN,REFOUT,XOROUT";

const ChecksumAlgorithm* find_checksum(const std::string& name)
{
    for (int i = 0; i < ChecksumCatalogueSize; i++)
        if (name == ChecksumCatalogue[i].name) return &ChecksumCatalogue[i];
    return nullptr;
}

std::string checksum_names()
{
    std::string names;
    for (int i = 0; i < ChecksumCatalogueSize; i++)
        names += (i ? ", " : "") + std::string(ChecksumCatalogue[i].name);
    return names;
}

static uint32_t width_mask(int width)
{
    return width >= 32 ? 0xffffffff : ((uint32_t)1 << width) - 1;
}

static uint32_t reflect(uint32_t value, int width)
{
    uint32_t out = 0;
    for (int i = 0; i < width; i++, value >>= 1)
        out = out << 1 | (value & 1);
    return out;
}

static uint32_t load_le32(const unsigned char* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint32_t load_be32(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// ---- the engine

static void crc_tables(ChecksumState* state)
{
    const CrcParams& crc = state->algorithm.crc;
    uint32_t (*t)[256] = state->table;
    if (crc.refin) {
        uint32_t poly = reflect(crc.poly, crc.width);
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t r = i;
            for (int bit = 0; bit < 8; bit++)
                r = r & 1 ? r >> 1 ^ poly : r >> 1;
            t[0][i] = r;
        }
        for (int k = 1; k < CRC_SLICES; k++)
            for (int i = 0; i < 256; i++)
                t[k][i] = t[k - 1][i] >> 8 ^ t[0][t[k - 1][i] & 0xff];
        state->reg = reflect(crc.init, crc.width);
        return;
    }
    uint32_t poly = crc.poly << (32 - crc.width);
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t r = i << 24;
        for (int bit = 0; bit < 8; bit++)
            r = r & 0x80000000 ? r << 1 ^ poly : r << 1;
        t[0][i] = r;
    }
    for (int k = 1; k < CRC_SLICES; k++)
        for (int i = 0; i < 256; i++)
            t[k][i] = t[k - 1][i] << 8 ^ t[0][t[k - 1][i] >> 24];
    state->reg = crc.init << (32 - crc.width);
}

void checksum_init(ChecksumState* state, const ChecksumAlgorithm* algorithm, bool big_endian)
{
    state->algorithm = *algorithm;
    state->big_units = big_endian && !algorithm->fixed_order;
    state->reg = 0;
    state->low = algorithm->kind == KIND_ADLER32 ? 1 : 0;
    state->high = 0;
    state->pending = 0;
    state->partial_n = 0;
    state->fed = 0;
    if (algorithm->kind == KIND_CRC) crc_tables(state);
}

static void crc_reflected(ChecksumState* state, const unsigned char* p, size_t n)
{
    const uint32_t (*t)[256] = state->table;
    uint32_t r = state->reg;
    for (; n >= 8; p += 8, n -= 8) {
        uint32_t a = r ^ load_le32(p), b = load_le32(p + 4);
        r = t[7][a & 0xff] ^ t[6][a >> 8 & 0xff] ^ t[5][a >> 16 & 0xff] ^ t[4][a >> 24]
            ^ t[3][b & 0xff] ^ t[2][b >> 8 & 0xff] ^ t[1][b >> 16 & 0xff] ^ t[0][b >> 24];
    }
    for (; n > 0; p++, n--)
        r = t[0][(r ^ *p) & 0xff] ^ r >> 8;
    state->reg = r;
}

// MSB first. With little-endian 32-bit units (n a multiple of 4) each word
// goes in from its most significant byte, as a 32-bit CRC unit takes it.
static void crc_normal(ChecksumState* state, const unsigned char* p, size_t n)
{
    const uint32_t (*t)[256] = state->table;
    bool swap = state->algorithm.unit == 4 && !state->big_units;
    uint32_t (*word)(const unsigned char*) = swap ? load_le32 : load_be32;
    uint32_t r = state->reg;
    for (; n >= 8; p += 8, n -= 8) {
        uint32_t a = r ^ word(p), b = word(p + 4);
        r = t[7][a >> 24] ^ t[6][a >> 16 & 0xff] ^ t[5][a >> 8 & 0xff] ^ t[4][a & 0xff]
            ^ t[3][b >> 24] ^ t[2][b >> 16 & 0xff] ^ t[1][b >> 8 & 0xff] ^ t[0][b & 0xff];
    }
    unsigned char last[4];
    if (swap && n == 4) {
        for (int i = 0; i < 4; i++)
            last[i] = p[3 - i];
        p = last;
    }
    for (; n > 0; p++, n--)
        r = r << 8 ^ t[0][(r >> 24 ^ *p) & 0xff];
    state->reg = r;
}

static void sum_units(ChecksumState* state, const unsigned char* p, size_t n)
{
    uint32_t sum = state->reg;
    int unit = state->algorithm.unit;
    if (unit == 1) {
        for (size_t i = 0; i < n; i++)
            sum += p[i];
    } else if (unit == 2) {
        int hi = state->big_units ? 0 : 1;
        for (size_t i = 0; i < n; i += 2)
            sum += (uint32_t)(p[i + hi] << 8 | p[i + 1 - hi]);
    } else {
        for (size_t i = 0; i < n; i += 4)
            sum += state->big_units ? load_be32(p + i) : load_le32(p + i);
    }
    state->reg = sum;
}

// Fletcher and Adler sums grow in 64 bits and are reduced every 64 KiB,
// long before they could overflow.
static void reduce_sums(ChecksumState* state)
{
    uint32_t modulus = state->algorithm.kind == KIND_ADLER32 ? 65521 : 255;
    state->low %= modulus;
    state->high %= modulus;
    state->pending = 0;
}

static void running_sums(ChecksumState* state, const unsigned char* p, size_t n)
{
    while (n > 0) {
        size_t step = n < 65536 - state->pending ? n : 65536 - state->pending;
        uint64_t low = state->low, high = state->high;
        for (size_t i = 0; i < step; i++) {
            low += p[i];
            high += low;
        }
        state->low = low;
        state->high = high;
        state->pending += (uint32_t)step;
        if (state->pending == 65536) reduce_sums(state);
        p += step;
        n -= step;
    }
}

// n is a multiple of the unit.
static void feed_units(ChecksumState* state, const unsigned char* p, size_t n)
{
    switch (state->algorithm.kind) {
    case KIND_CRC:
        if (state->algorithm.crc.refin)
            crc_reflected(state, p, n);
        else
            crc_normal(state, p, n);
        break;
    case KIND_SUM:
        sum_units(state, p, n);
        break;
    default:
        running_sums(state, p, n);
        break;
    }
}

void checksum_feed(ChecksumState* state, const unsigned char* data, size_t n)
{
    int unit = state->algorithm.unit;
    state->fed += n;
    if (state->partial_n > 0) {
        size_t take = (size_t)(unit - state->partial_n) < n ? unit - state->partial_n : n;
        memcpy(state->partial + state->partial_n, data, take);
        state->partial_n += (int)take;
        data += take;
        n -= take;
        if (state->partial_n < unit) return;
        feed_units(state, state->partial, unit);
        state->partial_n = 0;
    }
    size_t whole = n - n % unit;
    feed_units(state, data, whole);
    memcpy(state->partial, data + whole, n - whole);
    state->partial_n = (int)(n - whole);
}

static uint32_t crc_value(const ChecksumState* state)
{
    const CrcParams& crc = state->algorithm.crc;
    uint32_t value;
    if (crc.refin)
        value = crc.refout ? state->reg : reflect(state->reg, crc.width);
    else {
        value = state->reg >> (32 - crc.width);
        if (crc.refout) value = reflect(value, crc.width);
    }
    return (value ^ crc.xorout) & width_mask(crc.width);
}

uint32_t checksum_final(ChecksumState* state, int* padded)
{
    const ChecksumAlgorithm& a = state->algorithm;
    int pad = state->partial_n ? a.unit - state->partial_n : 0;
    if (pad) {
        memset(state->partial + state->partial_n, 0, pad);
        feed_units(state, state->partial, a.unit);
        state->partial_n = 0;
    }
    if (padded) *padded = pad;
    uint32_t value;
    if (a.kind == KIND_CRC) return crc_value(state);
    if (a.kind == KIND_SUM) {
        value = state->reg;
        if (a.finish == FINISH_NEGATE) value = 0 - value;
        if (a.finish == FINISH_INVERT) value = ~value;
        return value & width_mask(a.width);
    }
    reduce_sums(state);
    int shift = a.kind == KIND_ADLER32 ? 16 : 8;
    return (uint32_t)(state->high << shift | state->low);
}

uint32_t checksum_of(const ChecksumAlgorithm* algorithm, bool big_endian, const unsigned char* data,
    size_t n)
{
    static ChecksumState state; // its tables are too big for the stack of a small thread
    checksum_init(&state, algorithm, big_endian);
    checksum_feed(&state, data, n);
    return checksum_final(&state);
}

// ---- values as text and as stored bytes

std::string format_checksum(const ChecksumAlgorithm* algorithm, uint32_t value)
{
    char digits[16];
    snprintf(digits, sizeof digits, "%0*x", (algorithm->width + 3) / 4, (unsigned)value);
    return std::string(algorithm->name) + "=" + digits;
}

int checksum_bytes(const ChecksumAlgorithm* algorithm)
{
    return (algorithm->width + 7) / 8;
}

void store_checksum(const ChecksumAlgorithm* algorithm, uint32_t value, bool big_endian,
    unsigned char* out)
{
    int n = checksum_bytes(algorithm);
    for (int i = 0; i < n; i++)
        out[big_endian ? n - 1 - i : i] = (unsigned char)(value >> 8 * i);
}

uint32_t load_checksum(const ChecksumAlgorithm* algorithm, const unsigned char* in, bool big_endian)
{
    int n = checksum_bytes(algorithm);
    uint32_t value = 0;
    for (int i = 0; i < n; i++)
        value |= (uint32_t)in[big_endian ? n - 1 - i : i] << 8 * i;
    return value;
}

void mask_stored_value(const ChecksumStep* sum_step, uint64_t address, unsigned char* data, size_t n,
    unsigned char fill)
{
    if (!sum_step->has_address) return;
    unsigned char self = sum_step->algorithm.self_rule == SELF_ZERO ? 0 : fill;
    uint64_t from = sum_step->address, to = from + checksum_bytes(&sum_step->algorithm);
    for (uint64_t a = from < address ? address : from; a < to && a < address + n; a++)
        data[a - address] = self;
}

// ---- the text of -K

// Hex as -R takes it: with or without 0x, up to ffffffff, nothing after.
static bool parse_hex32(const std::string& text, uint32_t* value)
{
    size_t i = text.size() > 2 && text[0] == '0' && (text[1] | 0x20) == 'x' ? 2 : 0;
    if (i == text.size() || text.size() - i > 16) return false;
    uint64_t v = 0;
    for (; i < text.size(); i++) {
        char c = text[i];
        int digit = c >= '0' && c <= '9' ? c - '0'
            : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                   : -1;
        if (digit < 0) return false;
        v = v << 4 | digit;
    }
    *value = (uint32_t)v;
    return v <= 0xffffffff;
}

static std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

static bool parse_flag(const std::string& text, bool* flag)
{
    if (text != "0" && text != "1") return false;
    *flag = text == "1";
    return true;
}

bool parse_custom_crc(const std::string& params, ChecksumAlgorithm* algorithm, std::string* error)
{
    std::vector<std::string> f = split(params, ',');
    if (f.size() != 6) {
        *error = "six fields, " + std::to_string(f.size()) + " given";
        return false;
    }
    CrcParams crc {};
    bool digits = !f[0].empty() && f[0].size() <= 2 && f[0].find_first_not_of("0123456789") == std::string::npos;
    crc.width = digits ? std::stoi(f[0]) : 0;
    if (crc.width < 8 || crc.width > 32) {
        *error = "the width is 8 to 32, in decimal";
        return false;
    }
    const char* names[] = { "poly", "init", "xorout" };
    uint32_t* values[] = { &crc.poly, &crc.init, &crc.xorout };
    const std::string* texts[] = { &f[1], &f[2], &f[5] };
    for (int i = 0; i < 3; i++) {
        if (!parse_hex32(*texts[i], values[i]) || (*values[i] & ~width_mask(crc.width))) {
            *error = std::string("the ") + names[i] + " is hex of at most " + std::to_string(crc.width)
                + " bits";
            return false;
        }
    }
    if ((crc.poly & 1) == 0) {
        *error = "the poly is odd: its lowest bit is always set";
        return false;
    }
    if (!parse_flag(f[3], &crc.refin) || !parse_flag(f[4], &crc.refout)) {
        *error = "refin and refout are 0 or 1";
        return false;
    }
    *algorithm = ChecksumAlgorithm { "crc", KIND_CRC, crc.width, 1, false, false, crc, FINISH_PLAIN,
        SELF_FILL, 0, 0 };
    algorithm->check = checksum_of(algorithm, false, (const unsigned char*)"123456789", 9);
    return true;
}

// The algorithm at the start of text; pos moves past it.
static bool parse_algorithm(const std::string& text, size_t* pos, ChecksumStep* sum_step,
    std::string* error)
{
    if (text.compare(0, 4, "crc:") == 0) {
        size_t end = text.find_first_of(":@", 4);
        if (end == std::string::npos) end = text.size();
        std::string why;
        if (!parse_custom_crc(text.substr(4, end - 4), &sum_step->algorithm, &why)) {
            *error = std::string("a custom CRC is ") + CustomForm
                + ", e.g. crc:32,04c11db7,ffffffff,1,1,ffffffff: " + why;
            return false;
        }
        *pos = end;
        return true;
    }
    size_t end = text.find_first_of(":@");
    if (end == std::string::npos) end = text.size();
    std::string name = text.substr(0, end);
    const ChecksumAlgorithm* found = find_checksum(name);
    if (!found) {
        *error = (name.empty() ? std::string("no algorithm named") : "no algorithm " + name)
            + "; the catalogue: " + checksum_names() + "; any other CRC: " + CustomForm;
        return false;
    }
    sum_step->algorithm = *found;
    *pos = end;
    return true;
}

static bool parse_range(const std::string& text, ChecksumStep* sum_step)
{
    size_t dash = text.find('-');
    if (dash == std::string::npos) return false;
    sum_step->has_range = true;
    return parse_hex32(text.substr(0, dash), &sum_step->first)
        && parse_hex32(text.substr(dash + 1), &sum_step->last) && sum_step->first <= sum_step->last;
}

static bool parse_address(const std::string& text, ChecksumStep* sum_step)
{
    size_t slash = text.find('/');
    std::string order = slash == std::string::npos ? "" : text.substr(slash);
    if (!order.empty() && order != "/be") return false;
    sum_step->has_address = true;
    sum_step->big_endian = sum_step->order_given = !order.empty();
    return parse_hex32(text.substr(0, slash), &sum_step->address);
}

// The rules that tie the parts together, once each part has parsed.
static bool check_sum_step(const ChecksumStep* sum_step, std::string* error)
{
    const ChecksumAlgorithm& a = sum_step->algorithm;
    char text[160];
    if (sum_step->identify && !sum_step->has_address) {
        *error = "identifying needs the address of the stored value, e.g. -K?@0801fffc";
        return false;
    }
    if (!sum_step->identify && a.little_only && sum_step->big_endian) {
        snprintf(text, sizeof text, "%s is a sum of little-endian words; /be does not apply", a.name);
        *error = text;
        return false;
    }
    uint64_t span = (uint64_t)sum_step->last - sum_step->first + 1;
    if (!sum_step->identify && a.length && sum_step->has_range && span != a.length) {
        snprintf(text, sizeof text, "%s covers %u bytes, the range %08x-%08x holds %llu", a.name,
            (unsigned)a.length, (unsigned)sum_step->first, (unsigned)sum_step->last, (unsigned long long)span);
        *error = text;
        return false;
    }
    int n = sum_step->identify ? 1 : checksum_bytes(&a);
    if (sum_step->has_address && (uint64_t)sum_step->address + n - 1 > 0xffffffff) {
        snprintf(text, sizeof text, "the %d-byte value at %08x would pass ffffffff", n,
            (unsigned)sum_step->address);
        *error = text;
        return false;
    }
    return true;
}

bool parse_checksum_step(const char* text, ChecksumStep* sum_step, std::string* error)
{
    std::string all = text, why;
    *sum_step = ChecksumStep {};
    size_t pos = 0;
    bool ok = true;
    if (all.compare(0, 1, "?") == 0) {
        sum_step->identify = true;
        pos = 1;
    } else {
        ok = parse_algorithm(all, &pos, sum_step, &why);
    }
    if (ok && pos < all.size() && all[pos] == ':') {
        size_t at = all.find('@', pos);
        std::string range = all.substr(pos + 1, at == std::string::npos ? std::string::npos : at - pos - 1);
        pos = at == std::string::npos ? all.size() : at;
        if (!parse_range(range, sum_step)) {
            why = "the range is :FIRST-LAST in hex, FIRST not above LAST, e.g. :08000000-0801fffb";
            ok = false;
        }
    }
    if (ok && pos < all.size() && all[pos] != '@') {
        why = "after ? come :FIRST-LAST or @ADDR, e.g. -K?@0801fffc";
        ok = false;
    }
    if (ok && pos < all.size() && !parse_address(all.substr(pos + 1), sum_step)) {
        why = "the address is @ADDR in hex up to ffffffff, then /be or nothing, e.g. @0801fffc/be";
        ok = false;
    }
    if (ok) ok = check_sum_step(sum_step, &why);
    if (!ok) *error = "-K" + all + ": " + why;
    return ok;
}

// ---- identification

struct RangeImage {
    ChecksumRange range;
    std::vector<unsigned char> bytes;
    std::vector<unsigned char> masked[2]; // under SELF_FILL and SELF_ZERO, when the value lies inside
    bool inside;
};

static const std::vector<unsigned char>& bytes_for(RangeImage* image, const ChecksumAlgorithm* a,
    const IdentifyRequest* request)
{
    if (!image->inside) return image->bytes;
    std::vector<unsigned char>& masked = image->masked[a->self_rule];
    if (masked.empty()) {
        masked = image->bytes;
        ChecksumStep sum_step {};
        sum_step.algorithm = *a;
        sum_step.has_address = true;
        sum_step.address = request->address;
        mask_stored_value(&sum_step, image->range.first, masked.data(), masked.size(), request->fill);
    }
    return masked;
}

// Units read in either order give one value where there is nothing to order.
static bool order_matters(const ChecksumAlgorithm* a)
{
    return a->unit > 1 && !a->fixed_order;
}

static void try_algorithm(RangeImage* image, const ChecksumAlgorithm* a,
    const IdentifyRequest* request, std::vector<ChecksumMatch>* matches)
{
    uint64_t span = (uint64_t)image->range.last - image->range.first + 1;
    if ((a->length && span != a->length) || request->stored_n < checksum_bytes(a)) return;
    const std::vector<unsigned char>& bytes = bytes_for(image, a, request);
    uint32_t value = 0;
    for (int big = 0; big < 2; big++) {
        if (!(big ? request->big : request->little) || (big && a->little_only)) continue;
        if (big == 0 || order_matters(a) || !request->little)
            value = checksum_of(a, big, bytes.data(), bytes.size());
        if (load_checksum(a, request->stored, big) == value)
            matches->push_back(ChecksumMatch { a, big != 0, image->range, value });
    }
}

std::vector<ChecksumMatch> identify_checksum(const IdentifyRequest* request)
{
    std::vector<ChecksumMatch> matches;
    for (const ChecksumRange& range : request->ranges) {
        RangeImage image {};
        image.range = range;
        if (!request->range_bytes(request->context, range, &image.bytes)) continue;
        image.inside = request->address <= range.last && (uint64_t)request->address + 4 > range.first;
        for (int i = 0; i < ChecksumCatalogueSize; i++)
            try_algorithm(&image, &ChecksumCatalogue[i], request, &matches);
    }
    return matches;
}
