#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "image/checksums.h"

static const unsigned char* const Check = (const unsigned char*)"123456789";

// A CRC bit by bit, as the catalogues define it, against which the tables
// and the eight-byte steps are held.
static uint32_t bitwise_crc(const CrcParams& c, const std::vector<unsigned char>& data)
{
    uint64_t top = (uint64_t)1 << (c.width - 1), mask = (top << 1) - 1, r = c.init;
    for (unsigned char byte : data) {
        for (int bit = 0; bit < 8; bit++) {
            int in = c.refin ? byte >> bit & 1 : byte >> (7 - bit) & 1;
            bool out = (r & top) != 0;
            r = (r << 1 & mask) ^ ((out ^ in) ? c.poly : 0);
        }
    }
    if (c.refout) {
        uint64_t v = 0;
        for (int i = 0; i < c.width; i++)
            v |= (r >> i & 1) << (c.width - 1 - i);
        r = v;
    }
    return (uint32_t)(r ^ c.xorout);
}

static std::vector<unsigned char> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<unsigned char> bytes(n);
    for (unsigned char& b : bytes)
        b = (unsigned char)gen();
    return bytes;
}

// Fed in pieces of awkward sizes, so that partial units and the eight-byte
// steps meet at every alignment.
static uint32_t fed_in_pieces(const ChecksumAlgorithm* a, bool big, const std::vector<unsigned char>& data,
    int* padded = nullptr)
{
    static ChecksumState state;
    checksum_init(&state, a, big);
    static const size_t sizes[] = { 1, 3, 7, 13, 64, 1, 2, 4099 };
    for (size_t at = 0, k = 0; at < data.size(); k++) {
        size_t n = std::min(sizes[k % 8], data.size() - at);
        checksum_feed(&state, data.data() + at, n);
        at += n;
    }
    return checksum_final(&state, padded);
}

TEST(Checksums, EveryCatalogueEntryGivesItsCheckValue)
{
    struct Case {
        const char* name;
        int width;
        uint32_t check;
    };
    const Case cases[] = {
        { "crc32", 32, 0xcbf43926 }, { "crc32c", 32, 0xe3069283 }, { "crc32-mpeg2", 32, 0x0376e6e7 },
        { "stm32", 32, 0xaff19057 }, { "crc16-ccitt-false", 16, 0x29b1 }, { "crc16-xmodem", 16, 0x31c3 },
        { "crc16-modbus", 16, 0x4b37 }, { "crc16-arc", 16, 0xbb3d }, { "crc8", 8, 0xf4 },
        { "sum8", 8, 0xdd }, { "sum16", 16, 0xd509 }, { "sum32", 32, 0x6c6a689f },
        { "neg-sum32", 32, 0x93959761 }, { "not-sum32", 32, 0x93959760 }, { "fletcher16", 16, 0x1ede },
        { "adler32", 32, 0x091e01de }, { "word7", 32, 0x93959761 },
    };
    ASSERT_EQ(sizeof cases / sizeof cases[0], (size_t)ChecksumCatalogueSize);
    std::vector<unsigned char> nine(Check, Check + 9);
    for (const Case& c : cases) {
        const ChecksumAlgorithm* a = find_checksum(c.name);
        ASSERT_NE(a, nullptr) << c.name;
        EXPECT_EQ(a->width, c.width) << c.name;
        EXPECT_EQ(a->check, c.check) << c.name;
        EXPECT_EQ(checksum_of(a, false, Check, 9), c.check) << c.name;
        EXPECT_EQ(fed_in_pieces(a, false, nine), c.check) << c.name;
        char text[40];
        snprintf(text, sizeof text, "%s=%0*x", c.name, c.width / 4, c.check);
        EXPECT_EQ(format_checksum(a, c.check), text);
    }
}

// Word units in both orders; a ninth byte is padded to a whole word with
// zero bytes, as srec_cat pads its word sums.
TEST(Checksums, WordUnitsFollowTheByteOrderAndPadWithZero)
{
    struct Case {
        const char* name;
        bool big;
        uint32_t value;
        int padded;
    };
    const Case cases[] = {
        { "sum16", true, 0x09d4, 1 }, { "sum32", true, 0x9f686a6c, 3 },
        { "neg-sum32", true, 0x60979594, 3 }, { "not-sum32", true, 0x60979593, 3 },
        { "stm32", true, 0xaff19057, 3 }, { "sum16", false, 0xd509, 1 }, { "crc32", true, 0xcbf43926, 0 },
        { "sum8", true, 0xdd, 0 },
    };
    std::vector<unsigned char> nine(Check, Check + 9);
    for (const Case& c : cases) {
        int padded = -1;
        EXPECT_EQ(fed_in_pieces(find_checksum(c.name), c.big, nine, &padded), c.value) << c.name;
        EXPECT_EQ(padded, c.padded) << c.name;
    }
    std::vector<unsigned char> eight(Check, Check + 8);
    EXPECT_EQ(fed_in_pieces(find_checksum("stm32"), false, eight), 0xfefc54f9u); // as srec_cat -STM32
}

TEST(Checksums, CustomCrcsGiveTheirCatalogueCheckValues)
{
    struct Case {
        const char* params;
        uint32_t check;
        const char* text;
    };
    const Case cases[] = {
        { "32,04c11db7,ffffffff,1,1,ffffffff", 0xcbf43926, "crc=cbf43926" },
        { "32,04C11DB7,FFFFFFFF,0,0,FFFFFFFF", 0xfc891918, "crc=fc891918" },
        { "31,04c11db7,7fffffff,0,0,7fffffff", 0x0ce9e46c, "crc=0ce9e46c" },
        { "24,864cfb,b704ce,0,0,0", 0x21cf02, "crc=21cf02" },
        { "16,1021,0,1,1,0", 0x2189, "crc=2189" },
        { "16,3d65,0,1,1,ffff", 0xea82, "crc=ea82" },
        { "12,80f,0,0,1,0", 0xdaf, "crc=daf" },
        { "11,385,01a,0,0,0", 0x5a3, "crc=5a3" },
        { "10,233,0,0,0,0", 0x199, "crc=199" },
        { "8,31,0,1,1,0", 0xa1, "crc=a1" },
    };
    for (const Case& c : cases) {
        ChecksumAlgorithm a;
        std::string error;
        ASSERT_TRUE(parse_custom_crc(c.params, &a, &error)) << c.params << ": " << error;
        EXPECT_EQ(a.check, c.check) << c.params;
        EXPECT_EQ(format_checksum(&a, a.check), c.text);
    }
}

// Long inputs in uneven pieces against the bit-by-bit model: every table
// slice and alignment counts.
TEST(Checksums, TablesAgreeWithTheBitwiseModelOverLongInput)
{
    std::vector<unsigned char> data = random_bytes(100003, 7);
    std::vector<ChecksumAlgorithm> crcs;
    for (int i = 0; i < ChecksumCatalogueSize; i++)
        if (ChecksumCatalogue[i].kind == KIND_CRC) crcs.push_back(ChecksumCatalogue[i]);
    for (const char* params : { "31,04c11db7,7fffffff,0,0,7fffffff", "12,80f,0,0,1,0", "24,5d6dcb,fedcba,1,0,0" }) {
        ChecksumAlgorithm a;
        std::string error;
        ASSERT_TRUE(parse_custom_crc(params, &a, &error));
        crcs.push_back(a);
    }
    for (const ChecksumAlgorithm& a : crcs) {
        std::vector<unsigned char> in = data;
        if (a.unit == 4) { // little-endian words, most significant byte first
            in.resize((in.size() + 3) / 4 * 4);
            for (size_t i = 0; i < in.size(); i += 4)
                std::reverse(in.begin() + i, in.begin() + i + 4);
        }
        EXPECT_EQ(fed_in_pieces(&a, false, data), bitwise_crc(a.crc, in)) << a.name << a.crc.width;
    }
    uint32_t s1 = 0, s2 = 0, a1 = 1, a2 = 0;
    for (unsigned char b : data) {
        s1 = (s1 + b) % 255, s2 = (s2 + s1) % 255;
        a1 = (a1 + b) % 65521, a2 = (a2 + a1) % 65521;
    }
    std::vector<unsigned char> big = random_bytes(1 << 20, 9); // past the sums' reductions
    EXPECT_EQ(fed_in_pieces(find_checksum("fletcher16"), false, data), s2 << 8 | s1);
    EXPECT_EQ(fed_in_pieces(find_checksum("adler32"), false, data), a2 << 16 | a1);
    uint64_t b1 = 1, b2 = 0;
    for (unsigned char b : big)
        b1 = (b1 + b) % 65521, b2 = (b2 + b1) % 65521;
    EXPECT_EQ(fed_in_pieces(find_checksum("adler32"), false, big), (uint32_t)(b2 << 16 | b1));
}

// The parsed parts in one line: name, range, address and order.
static std::string described(const ChecksumStep& s)
{
    char text[100];
    snprintf(text, sizeof text, "%s%s", s.identify ? "?" : "", s.algorithm.name);
    std::string out = text;
    if (s.has_range) snprintf(text, sizeof text, " %x-%x", s.first, s.last), out += text;
    if (s.has_address) snprintf(text, sizeof text, " @%x/%s", s.address, s.big_endian ? "be" : "le"), out += text;
    return out;
}

TEST(Checksums, GoodArgumentsParse)
{
    const char* cases[][2] = {
        { "crc32", "crc32" },
        { "crc32:08000000-0801fffb@0801fffc", "crc32 8000000-801fffb @801fffc/le" },
        { "sum16@0x100/be", "sum16 @100/be" },
        { "crc:32,04c11db7,ffffffff,1,1,ffffffff:0-ff@100", "crc 0-ff @100/le" },
        { "crc:16,1021,ffff,0,0,0@ffff/be", "crc @ffff/be" },
        { "?@1c", "? @1c/le" },
        { "?:0-1b@1c/be", "? 0-1b @1c/be" },
        { "word7:0-1f@1c", "word7 0-1f @1c/le" },
        { "crc8@ffffffff", "crc8 @ffffffff/le" },
    };
    for (const auto& c : cases) {
        ChecksumStep sum_step;
        std::string error;
        ASSERT_TRUE(parse_checksum_step(c[0], &sum_step, &error)) << c[0] << ": " << error;
        EXPECT_EQ(described(sum_step), c[1]);
    }
}

TEST(Checksums, BadArgumentsAreRefusedWithAReason)
{
    struct Case {
        const char* text;
        const char* reason;
    };
    const Case cases[] = {
        { "", "no algorithm named; the catalogue: crc32, crc32c, crc32-mpeg2, stm32," },
        { "crc33", "no algorithm crc33; the catalogue: crc32," },
        { "CRC32", "no algorithm CRC32;" },
        { "crc", "any other CRC: crc:WIDTH,POLY,INIT,REFIN,REFOUT,XOROUT" },
        { "crc32:", "the range is :FIRST-LAST in hex" },
        { "crc32:100", "the range is :FIRST-LAST" },
        { "crc32:200-100", "the range is :FIRST-LAST" },
        { "crc32:0-1ffffffff", "the range is :FIRST-LAST" },
        { "crc32:-ff@100", "the range is :FIRST-LAST" },
        { "crc32@", "the address is @ADDR in hex" },
        { "crc32@10g", "the address is @ADDR" },
        { "crc32@100/le", "the address is @ADDR" },
        { "crc32@100/be/be", "the address is @ADDR" },
        { "crc32@fffffffe", "the 4-byte value at fffffffe would pass ffffffff" },
        { "crc16-arc@ffffffff", "the 2-byte value at ffffffff would pass ffffffff" },
        { "?", "identifying needs the address of the stored value" },
        { "?:0-ff", "identifying needs the address" },
        { "?crc32@100", "after ? come :FIRST-LAST or @ADDR" },
        { "word7@1c/be", "word7 is a sum of little-endian words; /be does not apply" },
        { "word7:0-3f@1c", "word7 covers 32 bytes, the range 00000000-0000003f holds 64" },
        { "crc:32,04c11db7,ffffffff,1,1", "a custom CRC is crc:WIDTH,POLY,INIT,REFIN,REFOUT,XOROUT, e.g. "
                                          "crc:32,04c11db7,ffffffff,1,1,ffffffff: six fields, 5 given" },
        { "crc:7,7,0,0,0,0", "the width is 8 to 32, in decimal" },
        { "crc:33,7,0,0,0,0", "the width is 8 to 32" },
        { "crc:x16,1021,0,0,0,0", "the width is 8 to 32" },
        { "crc:16,11021,ffff,0,0,0", "the poly is hex of at most 16 bits" },
        { "crc:16,1020,ffff,0,0,0", "the poly is odd" },
        { "crc:16,1021,fffff,0,0,0", "the init is hex of at most 16 bits" },
        { "crc:16,1021,ffff,0,0,zz", "the xorout is hex" },
        { "crc:16,1021,ffff,2,0,0@10", "refin and refout are 0 or 1" },
        { "crc:16,1021,ffff,0,,0", "refin and refout are 0 or 1" },
    };
    for (const Case& c : cases) {
        ChecksumStep sum_step;
        std::string error;
        EXPECT_FALSE(parse_checksum_step(c.text, &sum_step, &error)) << c.text;
        EXPECT_EQ(error.rfind("-K" + std::string(c.text) + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << " gave: " << error;
    }
}

// A value stored inside the range it covers: computed with its own bytes
// masked, stored, and the range then adds up to the algorithm's total, or
// gives the same value again when masked the same way.
TEST(Checksums, AValueInsideItsOwnRange)
{
    struct Case {
        const char* sum_step;
        unsigned fill;
        const char* total; // what the whole range then gives, or "" for the same value again
        uint32_t total_value;
    };
    const Case cases[] = {
        { "neg-sum32:0-ff@fc", 0xff, "sum32", 0 },
        { "neg-sum32:0-ff@40/be", 0xff, "sum32", 0 },
        { "not-sum32:0-ff@80", 0x00, "sum32", 0xffffffff },
        { "word7:0-1f@1c", 0xff, "sum32", 0 },
        { "crc32:0-ff@fc", 0xff, "", 0 },
        { "sum16:0-ff@10/be", 0xa5, "", 0 },
    };
    for (const Case& c : cases) {
        ChecksumStep sum_step;
        std::string error;
        ASSERT_TRUE(parse_checksum_step(c.sum_step, &sum_step, &error)) << error;
        std::vector<unsigned char> image = random_bytes(sum_step.last + 1, 3);
        mask_stored_value(&sum_step, 0, image.data(), image.size(), (unsigned char)c.fill);
        const ChecksumAlgorithm* a = &sum_step.algorithm;
        uint32_t value = checksum_of(a, sum_step.big_endian, image.data(), image.size());
        store_checksum(a, value, sum_step.big_endian, image.data() + sum_step.address);
        if (*c.total) {
            EXPECT_EQ(checksum_of(find_checksum(c.total), sum_step.big_endian, image.data(), image.size()),
                c.total_value)
                << c.sum_step;
        } else {
            std::vector<unsigned char> again = image;
            mask_stored_value(&sum_step, 0, again.data(), again.size(), (unsigned char)c.fill);
            EXPECT_EQ(checksum_of(a, sum_step.big_endian, again.data(), again.size()), value) << c.sum_step;
            EXPECT_NE(again, image) << c.sum_step;
        }
        EXPECT_EQ(load_checksum(a, image.data() + sum_step.address, sum_step.big_endian), value) << c.sum_step;
    }
    // -c's worked example: words 1 to 7, then the word that -w writes
    unsigned char words[32] = { 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0, 6, 0, 0, 0, 7 };
    EXPECT_EQ(format_checksum(find_checksum("word7"), checksum_of(find_checksum("word7"), false, words, 32)),
        "word7=ffffffe4");
}

static bool bytes_of(void* context, ChecksumRange range, std::vector<unsigned char>* bytes)
{
    const std::vector<unsigned char>* image = (const std::vector<unsigned char>*)context;
    if (range.last >= image->size()) return false;
    bytes->assign(image->begin() + range.first, image->begin() + range.last + 1);
    return true;
}

// An 8-bit value matches by chance one time in 256: the image's bytes are
// such that none does here.
TEST(Checksums, IdentifyListsWhatProducesTheStoredValue)
{
    struct Case {
        const char* stored; // the sum_step that seals the image
        bool little, big;
        const char* found; // "name/le 0-fb ..." for each match
    };
    const Case cases[] = {
        { "crc32:0-fb@fc", true, true, "crc32/le 0-fb" },
        { "crc32:0-fb@fc/be", true, true, "crc32/be 0-fb" },
        { "crc32:0-fb@fc/be", true, false, "" },
        { "sum32:10-fb@fc/be", true, true, "sum32/be 10-fb" },
        { "stm32:0-ff@fc", true, true, "stm32/le 0-ff" },
        { "neg-sum32:0-ff@fc", true, true, "neg-sum32/le 0-fb neg-sum32/le 0-ff" }, // its own word counts as zero
        { "adler32:10-fb@fc/be", true, true, "adler32/be 10-fb" },
    };
    for (const Case& c : cases) {
        ChecksumStep sum_step;
        std::string error;
        ASSERT_TRUE(parse_checksum_step(c.stored, &sum_step, &error)) << error;
        std::vector<unsigned char> image = random_bytes(256, 12);
        mask_stored_value(&sum_step, 0, image.data(), image.size(), 0xff);
        uint32_t value = checksum_of(&sum_step.algorithm, sum_step.big_endian, image.data() + sum_step.first,
            sum_step.last - sum_step.first + 1);
        store_checksum(&sum_step.algorithm, value, sum_step.big_endian, image.data() + sum_step.address);
        IdentifyRequest request {};
        request.ranges = { { 0, 0xfb }, { 0x10, 0xfb }, { 0, 0xff }, { 0, 0x1ff } };
        request.address = 0xfc;
        memcpy(request.stored, image.data() + 0xfc, 4);
        request.stored_n = 4;
        request.fill = 0xff;
        request.little = c.little;
        request.big = c.big;
        request.range_bytes = bytes_of;
        request.context = &image;
        std::string found;
        for (const ChecksumMatch& m : identify_checksum(&request)) {
            char text[60];
            snprintf(text, sizeof text, "%s%s/%s %x-%x", found.empty() ? "" : " ", m.algorithm->name,
                m.big_endian ? "be" : "le", m.range.first, m.range.last);
            found += text;
        }
        EXPECT_EQ(found, c.found) << c.stored;
    }
}
