#include <gtest/gtest.h>

#include "capture.h"
#include "info.h"
#include "records/parser.h"
#include "records/ranges.h"

// Problems and summary of -i for a file's text, read in blocks of `block`
// characters (0: all at once).
static std::string info_text(const std::string& text, size_t block = 0)
{
    InputPath = "t";
    return capture_output([&] {
        info_reset();
        size_t step = block ? block : text.size() + 1;
        for (size_t at = 0; at < text.size(); at += step)
            info_scan(text.data() + at, std::min(step, text.size() - at));
        info_end_line();
        info_summary();
    });
}

// Only the problem lines, without the summary.
static std::string problems_of(const std::string& text)
{
    std::string all = info_text(text);
    return all.substr(0, all.find("format: "));
}

static std::string s3_record(int data_bytes)
{
    unsigned count = (data_bytes + 5) & 0xff; // 0 when the record cannot hold them
    unsigned sum = count;
    std::string line = "S3";
    char pair[3];
    snprintf(pair, sizeof pair, "%02X", count);
    line += pair;
    line += "00000000";
    for (int i = 0; i < data_bytes; i++) {
        line += "A5";
        sum += 0xa5;
    }
    snprintf(pair, sizeof pair, "%02X", ~sum & 0xff);
    return line + pair;
}

TEST(Info, BlocksOfAnySizeReadAlike)
{
    std::string text = ":020000040008F2\r\n\r\n:0400000000010203F6\n" + s3_record(250)
        + "\r\n:04000400\r04050607E2\n:0400080008090A0BCE\r\n:0400000508000131BD\n:00000001FF";
    std::string whole = info_text(text);
    EXPECT_EQ(whole,
        "t:5: garbled line\n"
        "format: mixed\n"
        "records: 6 (data 3)\n"
        "data: 258 bytes in 3 ranges\n"
        "  00000000-000000f9 250 bytes\n"
        "  00080000-00080003 4 bytes\n"
        "  00080008-0008000b 4 bytes\n"
        "start: 08000131\n"
        "problems: 1\n");
    for (size_t block = 1; block < 40; block++)
        ASSERT_EQ(info_text(text, block), whole) << "blocks of " << block;
}

TEST(Info, LengthChecksumAndGarbledLines)
{
    EXPECT_EQ(problems_of(":0400100001020304E3\n:00000001FF"),
        "t:1: checksum error (expected e2, found e3)\n");
    EXPECT_EQ(problems_of("S107001001020304DF"), "t:1: checksum error (expected de, found df)\n");
    // A line that runs on long past its stated length.
    EXPECT_EQ(problems_of(":01000000" + std::string(600, '0') + "\n:00000001FF"),
        "t:1: record length mismatch (states 1, holds 299)\n");
    EXPECT_EQ(problems_of("S10500000102\n"), "t:1: record length mismatch (states 5, holds 4)\n");
    EXPECT_EQ(problems_of(s3_record(250) + "\n" + s3_record(251) + "\n"),
        "t:2: record length mismatch (states 0, holds 256)\n");
    // Odd digits (also before a CR), a stray character or CR, too few bytes
    // for the fields.
    EXPECT_EQ(problems_of(":00000001F\n:00000001FF0\r\n:0000 0001FF\n:00000001\rFF\n:0000FF\nS\n"
                          "SX0300FC\ns1030000FC\nS1\n:00000001FF"),
        "t:1: garbled line\nt:2: garbled line\nt:3: garbled line\nt:4: garbled line\n"
        "t:5: garbled line\nt:6: garbled line\nt:7: garbled line\nt:8: garbled line\n"
        "t:9: garbled line\n");
}

TEST(Info, RecordKindsAndTheirFields)
{
    EXPECT_EQ(problems_of(":03000002100000EB\n:00000001FF"),
        "t:1: record length mismatch (states 3, needs 2)\n");
    EXPECT_EQ(problems_of("S9041000AA41\nS10200FD\nS9031000EC\nS10200FD\nS10200FD"),
        "t:1: record length mismatch (states 4, needs 3)\n"
        "t:2: record length mismatch (states 2, needs 3)\nt:4: data after end of file\n");
    EXPECT_EQ(problems_of(":00000007F9\n:00000001FF"), "t:1: unknown record type 07\n");
    // S6 counts in 24 bits; the count covers S1 to S3 records only.
    EXPECT_EQ(problems_of("S0030000FC\nS107000000010203F2\nS604000001FA\nS604000002F9"),
        "t:4: record count mismatch (states 2, counted 1)\n");
    std::string s8 = info_text("S8041234565F");
    EXPECT_NE(s8.find("start: 00123456\n"), std::string::npos) << s8;
    std::string s03 = info_text(":04000003ABCD01235D\n:00000001FF");
    EXPECT_NE(s03.find("start: abcd:0123\nproblems: 0\n"), std::string::npos) << s03;
    // An 8-bit file's end record may hold the start address; after a type
    // 02 to 05 record its address field means nothing.
    std::string i8 = info_text(":0400000000010203F6\n:00F65E01AB");
    EXPECT_NE(i8.find("start: 0000f65e\nproblems: 0\n"), std::string::npos) << i8;
    std::string i32 = info_text(":020000040000FA\n:0400000000010203F6\n:00F65E01AB");
    EXPECT_NE(i32.find("start: none\nproblems: 0\n"), std::string::npos) << i32;
}

TEST(Info, AddressesWrapAtFourGibibytes)
{
    // Type 04 addresses run on past 64 KiB and past 0xffffffff.
    std::string out = info_text(":02000004FFFFFC\n:04FFFE0001020304F5\n:00000001FF");
    EXPECT_NE(out.find("data: 4 bytes in 2 ranges\n  00000000-00000001 2 bytes\n"
                       "  fffffffe-ffffffff 2 bytes\n"),
        std::string::npos)
        << out;
}

TEST(Ranges, MergeWhereTheyTouchAndListWhatOverlaps)
{
    ranges_clear();
    ranges_add(0x100, 0x10);
    ranges_add(0x120, 0x10);
    ranges_add(0x140, 0x10);
    ranges_add(0x80, 0x10);
    ranges_add(0x90, 0x10); // touches the range below it
    EXPECT_EQ(OverlapCount, 0);
    EXPECT_EQ(Ranges.size(), 4u);
    // From inside the first range across the gaps into the third.
    ranges_add(0x108, 0x40);
    ASSERT_EQ(OverlapCount, 3);
    EXPECT_EQ(Overlaps[0].first, 0x108u);
    EXPECT_EQ(Overlaps[0].last, 0x10fu);
    EXPECT_EQ(Overlaps[1].first, 0x120u);
    EXPECT_EQ(Overlaps[1].last, 0x12fu);
    EXPECT_EQ(Overlaps[2].first, 0x140u);
    EXPECT_EQ(Overlaps[2].last, 0x147u);
    ASSERT_EQ(Ranges.size(), 2u);
    EXPECT_EQ(Ranges.begin()->first, 0x80u);
    EXPECT_EQ(Ranges.begin()->second, 0xa0u);
    EXPECT_EQ(std::next(Ranges.begin())->second, 0x150u);
    EXPECT_EQ(ranges_bytes(), 0x70u);
    // A range that fills the gap joins its neighbours.
    ranges_add(0xa0, 0x60);
    EXPECT_EQ(OverlapCount, 0);
    EXPECT_EQ(Ranges.size(), 1u);
    ranges_add(0xfffffff0, 0x10);
    EXPECT_EQ(std::prev(Ranges.end())->second, 0x100000000u);
}

// What the parser made of each line of text, read either a line at a time
// through parser_feed or, where it takes them, through parser_whole_line
// from a buffer that holds the rest of the text: its problems, and each
// line's data, columns, base and counts.
static std::string parsed(const std::string& text, bool whole)
{
    RecordParser parser;
    std::string seen;
    std::string problems = capture_output([&] {
        parser_reset(&parser, "t");
        ranges_clear();
        for (size_t at = 0; at < text.size();) {
            size_t taken = whole ? parser_whole_line(&parser, text.data() + at, text.size() - at) : 0;
            if (!taken) {
                size_t lf = text.find('\n', at);
                size_t end = lf == std::string::npos ? text.size() : lf;
                parser_feed(&parser, text.data() + at, end - at);
                parser_end_line(&parser);
                taken = end + 1 - at;
            }
            at += taken;
            char fields[96];
            snprintf(fields, sizeof fields, "|%d %u %u %d %llu %llu %d:", parser.piece_count,
                parser.checksum_column, parser.base, parser.segmented,
                (unsigned long long)parser.records, (unsigned long long)parser.data_records,
                parser.start_kind);
            seen += fields;
            for (int i = 0; i < parser.piece_count; i++) {
                const LineData& piece = parser.pieces[i];
                seen += std::to_string(piece.address) + "@" + std::to_string(piece.column) + "="
                    + std::string((const char*)piece.data, piece.n) + ";";
            }
        }
    });
    return problems + seen;
}

TEST(Parser, WholeLinesReadAsLinesFedInPieces)
{
    std::string full = ":10010000000102030405060708090A0B0C0D0E0F77";
    std::string long_s3 = s3_record(250);
    const char* texts[] = {
        ":10010000000102030405060708090A0B0C0D0E0F77\n:00000001FF\n", // sound, a short line
        ":10010000000102030405060708090a0b0c0d0e0f77\r\n:00000001FF\r\n\r\n", // lower case, CR LF
        ":10010000000102030405060708090A0B0C0D0E0F78\n", // checksum
        ":0F010000000102030405060708090A0B0C0D0E0F77\n", // states fewer than it holds
        ":11010000000102030405060708090A0B0C0D0E0F77\n:00000001FF\n", // states more: next line
        ":1001000000010203040506070809XA0B0C0D0E0F77\n", // no hex digit
        ":100100000001020304050607\r8090A0B0C0D0E0F77\n", // CR inside
        ":10010000000102030405060708090A0B0C0D0E0F77\r\r\n", // two CRs
        ":10010000000102030405060708090A0B0C0D0E0F77 \n", // a blank after it
        ":020000021000EC\n:04FFFE0001020304F5\n:020000040800F2\n:0400000005060708DE\n", // bases, wrap
        ":00000001FF\n:0400000005060708DE\n:00000001FF", // after the end; no last line feed
        ":00000001F\n:00000001FF0\n:0\n:\nS\nS1\nSX0300FC\n", // odd digits, too short
        ":00000001FG\n:00000001FF\n", // no hex digit in a short line
        "S1130000000102030405060708090A0B0C0D0E0F64\nS2080100000102030AE6\nS5030001FB\nS9030000FC\n",
        ":0400000508000131BD\n:04000003ABCD01235D\n:00000001FF\n", // start addresses
    };
    for (const char* text : texts) {
        std::string expected = parsed(text, false);
        EXPECT_EQ(parsed(text, true), expected) << text;
        // Each line at the very end of what is read, where no digits follow it.
        EXPECT_EQ(parsed(std::string(text) + "\n", true), parsed(std::string(text) + "\n", false)) << text;
    }
    std::string big = ":FF000000" + std::string(510, 'A') + "57\n";
    EXPECT_EQ(parsed(big + long_s3 + "\n" + full + "\n", true), parsed(big + long_s3 + "\n" + full + "\n", false));
    EXPECT_EQ(parsed(full + "\n", true),
        "|1 41 0 0 1 1 0:256@9=" + std::string("\0\1\2\3\4\5\6\7\10\11\12\13\14\15\16\17", 16) + ";");
}
