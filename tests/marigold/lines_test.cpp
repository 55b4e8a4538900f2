#include <gtest/gtest.h>

#include "capture.h"

// The table-driven decode must read every pair of characters exactly as
// the "%x" conversion of the C library does.
TEST(HexPair, EqualsScanfOverAllPairs)
{
    int mismatches = 0;
    for (int a = 0; a < 256; a++) {
        for (int b = 0; b < 256; b++) {
            char text[3] = {(char)a, (char)b, 0};
            int expected = -1;
            sscanf(text, "%x", (unsigned*)&expected);
            int got = hex_pair(text);
            if (got != expected && ++mismatches < 10)
                ADD_FAILURE() << "pair " << a << "," << b << ": " << got << " != " << expected;
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(hex_pair("-5"), -5);
    EXPECT_EQ(hex_pair("-0"), 0);
    EXPECT_EQ(hex_pair("5g"), 5);
    EXPECT_EQ(hex_pair("0x"), 0);
    EXPECT_EQ(hex_pair("zz"), -1);
    EXPECT_EQ(hex_pair(" a"), 10);
}

TEST(DecodeRecordBytes, OddLengthCaseAndStopAtBadPair)
{
    EXPECT_EQ(decode_record_bytes("0400100001020304e2"), 0);
    EXPECT_EQ(RecordBytes.count, 9);
    EXPECT_EQ(RecordBytes.bytes[8], 0xe2);
    EXPECT_EQ(decode_record_bytes("0400100001020304E2"), 0);
    EXPECT_EQ(RecordBytes.bytes[8], 0xe2);

    EXPECT_EQ(decode_record_bytes("ABC"), 0);
    EXPECT_EQ(RecordBytes.count, 2);
    EXPECT_EQ(RecordBytes.bytes[1], 0x0c);

    // The decode stops at the bad pair; later positions keep older bytes.
    EXPECT_EQ(decode_record_bytes("11zz33"), -1);
    EXPECT_EQ(RecordBytes.count, 1);
    EXPECT_EQ(RecordBytes.bytes[0], 0x11);
    EXPECT_EQ(RecordBytes.bytes[1], 0x0c);
    EXPECT_EQ(decode_record_bytes("22-544"), -5);
    EXPECT_EQ(RecordBytes.count, 1);
}

TEST(DecodeRecordBytes, NeverWritesPastTheBuffer)
{
    std::string huge(2000, 'a');
    EXPECT_EQ(decode_record_bytes(huge.c_str()), 0);
    EXPECT_EQ(RecordBytes.count, RECORD_BYTES_SIZE);
}

TEST(GetLine, LineEndsLimitAndEndOfInput)
{
    std::string long_line(300, 'x');
    std::string exact(255, 'y');
    std::string content = "ab\r\ncd\ref\n\n" + long_line + "\n" + exact + "\n" + "last";
    content += std::string("n\0l\n", 4);
    std::string path = write_temp_file("getline", content);
    FILE* in = fopen(path.c_str(), "rb");
    char line[LINE_MAX_CHARS + 1];

    EXPECT_EQ(get_line(line, in), 0);
    EXPECT_STREQ(line, "ab");
    EXPECT_EQ(get_line(line, in), 0);
    EXPECT_STREQ(line, "cdef");
    EXPECT_EQ(get_line(line, in), 0);
    EXPECT_STREQ(line, "");
    EXPECT_EQ(get_line(line, in), 1);
    EXPECT_EQ(std::string(line), std::string(255, 'x'));
    EXPECT_EQ(get_line(line, in), 0);
    EXPECT_EQ(std::string(line), std::string(45, 'x'));
    EXPECT_EQ(get_line(line, in), 1);
    EXPECT_EQ(std::string(line), exact);
    EXPECT_EQ(get_line(line, in), 0);
    EXPECT_STREQ(line, "");
    // A NUL is stored like any character and ends the C string.
    EXPECT_EQ(get_line(line, in), 0);
    EXPECT_STREQ(line, "lastn");
    EXPECT_EQ(get_line(line, in), -1);
    EXPECT_STREQ(line, "");
    close_input(in);

    path = write_temp_file("getline2", "tail");
    in = fopen(path.c_str(), "rb");
    EXPECT_EQ(get_line(line, in), -1);
    EXPECT_STREQ(line, "tail");
    close_input(in);
}

TEST(ProcessLine, SortsLinesByTheirFirstCharacters)
{
    EXPECT_EQ(dump_lines("#note\nS5030000FC\nS\nx\ns107001001020304DE\n"),
              "WARNING:garbled line:note\n"
              "WARNING:garbled line:030000FC\n"
              "WARNING:garbled line:\n"
              "WARNING:garbled line:\n"
              "WARNING:garbled line:107001001020304DE\n");
    EXPECT_EQ(dump_lines("\nS00F000068656C6C6F20202020200000003C\nS9030000FC\nS70500000000FA\n"
                         "S804000000FB\n"),
              "");
    EXPECT_EQ(process_line(""), 0);
    memset(OptionTable, 0, sizeof OptionTable);
    EXPECT_EQ(capture_output([] { EXPECT_EQ(process_line("?"), -1); }), "WARNING:garbled line:\n");
}
