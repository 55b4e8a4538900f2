#include <gtest/gtest.h>

#include "capture.h"

TEST(Dump, WorkedExamples)
{
    EXPECT_EQ(dump_lines(":0400100001020304E2"), "0010: 01 02 03 04\n");
    EXPECT_EQ(dump_lines(":0400100001020304E2", true), "0010 01\n0011 02\n0012 03\n0013 04\n");
    EXPECT_EQ(dump_lines(":020000040001F9\n:0400100001020304E2"), "10010: 01 02 03 04\n");
    EXPECT_EQ(dump_lines(":0400000508000131BD"), ":scmd=5 start=8000131\nscmd=5\n");
    EXPECT_EQ(dump_lines(":0400000508000131BD", true), ":scmd=5 start=8000131\nscmd=5\n");
    EXPECT_EQ(dump_lines(":020000021000EC"), "scmd=2\n");
    EXPECT_EQ(dump_lines(":00000001FF"), "");
    EXPECT_EQ(dump_lines("S107001001020304DE"), "000010 01 02 03 04\n");
    EXPECT_EQ(dump_lines("S218012340101112131415161718191A1B1C1D1E1F2021222385"),
              "12340: 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f\n"
              "12350: 20 21 22 23\n");
}

TEST(Dump, BadDataChecksumEndsTheRunOnStandardError)
{
    EXPECT_EXIT(dump_lines(":0400100001020304E3"), testing::ExitedWithCode(255),
                "^HEX RECORD Checksum Error! sum=101\n$");
    // Length 0 with a wrong checksum fails like any data record.
    EXPECT_EXIT(dump_lines(":0000000001"), testing::ExitedWithCode(255), "sum=1\n");
}

TEST(Dump, RowsAndAddressesOfIntelRecords)
{
    EXPECT_EQ(dump_lines(":0000000000"), "");
    EXPECT_EQ(dump_lines(":0000000000", true), "");
    // 17 bytes: a full row and a row of one, 16 higher.
    EXPECT_EQ(dump_lines(":11FFF800000102030405060708090A0B0C0D0E0F1070"),
              "fff8: 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
              "10008: 10\n");
    // With b each address is UpperAddress OR (address + i), past 0xFFFF too.
    EXPECT_EQ(dump_lines(":020000040002F8\n:02FFFF00AABB9B", true), "2ffff aa\n30000 bb\n");
    // Type 02 leaves UpperAddress alone; a type 04 with a bad checksum is used.
    EXPECT_EQ(dump_lines(":020000040001FF\n:020000021000EC\n:0100000055AA"), "scmd=2\n10000: 55\n");
    EXPECT_EQ(dump_lines(":00000003FD\n:00000006FA\n:000000FF01"), "scmd=3\nscmd=6\nscmd=ff\n");
}

TEST(Dump, FieldsComeFromWhatEarlierLinesLeft)
{
    // A lone ":" decodes nothing: still a data record (type from index 3),
    // no checksum test, and the earlier data printed again.
    EXPECT_EQ(dump_lines(":0400100001020304E2\n:"), "0010: 01 02 03 04\n0010: 01 02 03 04\n");
    // A length byte larger than the line: missing bytes from earlier lines.
    EXPECT_EQ(dump_lines(":0400100001020304E2\n:0600200000DA"), "0010: 01 02 03 04\n0020: 00 da 03 04 e2 00\n");
    // A decode that stops at a bad pair interprets what it got.
    EXPECT_EQ(dump_lines(":020000040001F9\n:zz"), "");
}

TEST(Dump, LengthByteAbove252StaysInsideTheBuffer)
{
    // Length FF with a checksum that passes: 252 bytes are printed.
    std::string line = ":FF000000";
    unsigned sum = 0xff;
    for (int i = 0; i < 100; i++) {
        line += "01";
        sum += 1;
    }
    char tail[3];
    snprintf(tail, sizeof tail, "%02X", (256 - (sum & 0xff)) & 0xff);
    line += tail;
    std::string out = dump_lines(line.c_str());
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 16); // 15 full rows + 12
    EXPECT_EQ(out.substr(out.rfind("00f0:")), "00f0: 00 00 00 00 00 00 00 00 00 00 00 00\n");
    std::string with_b = dump_lines(line.c_str(), true);
    EXPECT_EQ(std::count(with_b.begin(), with_b.end(), '\n'), 252);
}

TEST(Dump, SRecordForms)
{
    // 16 data bytes keep the single-line form; 17 switch to rows.
    EXPECT_EQ(dump_lines("S113000000112233445566778899AABBCCDDEEFF00"),
              "000000 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff\n");
    EXPECT_EQ(dump_lines("S3160000000100112233445566778899AABBCCDDEEFF1100"),
              "0001: 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff\n"
              "0011: 11\n");
    // S-records ignore UpperAddress.
    EXPECT_EQ(dump_lines(":020000040001F9\nS107001001020304DE"), "000010 01 02 03 04\n");
    // A byte count that disagrees with the line warns and prints by the count.
    EXPECT_EQ(dump_lines("S10500100102"), "WARNING:record length mismatch:5 != 4\n000010 01 02\n");
    EXPECT_EQ(dump_lines("S1020010"), "000010\n");
    EXPECT_EQ(dump_lines("S315ABCDEF010102"),
              "WARNING:record length mismatch:21 != 6\nabcdef01 01 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n");
}
