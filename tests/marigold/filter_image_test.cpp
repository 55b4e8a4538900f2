#include <gtest/gtest.h>

#include "capture.h"
#include "checksum_word_raw.h"
#include "filter.h"
#include "image/runs.h"

static std::string run_filter(const std::string& input, std::string* report)
{
    std::string in = write_temp_file("filter_in", input);
    static std::string out_path;
    out_path = test_file_path("filter_out");
    InputPath = in.c_str();
    OutputPath = out_path.c_str();
    memset(&RecordBytes, 0, sizeof RecordBytes);
    *report = capture_output([] { filter_start_records(); });
    return read_file(out_path);
}

TEST(Filter, DropsStartRecordsAndWritesCrLf)
{
    std::string report;
    std::string out = run_filter(":020000040000FA\n:0400000508000131BD\r\n:0400100001020304E2\n"
                                 "S107001001020304DE\n\n# comment\n:00000001FF\n",
                                 &report);
    EXPECT_EQ(out, ":020000040000FA\r\n:0400100001020304E2\r\n:00000001FF\r\n");
    EXPECT_EQ(report, ":scmd=5 start=8000131\n");

    EXPECT_EQ(run_filter("S107001001020304DE\n", &report), "");
    EXPECT_EQ(report, "");
}

TEST(Filter, KeepsALastLineWithoutLineFeed)
{
    std::string report;
    EXPECT_EQ(run_filter(":0400100001020304E2\n:00000001FF", &report),
              ":0400100001020304E2\r\n:00000001FF\r\n");
    EXPECT_EQ(run_filter(":00000001FF\n", &report), ":00000001FF\r\n");
}

TEST(Filter, LongLinesAreCopiedWholeOrDroppedWhole)
{
    std::string report;
    std::string long_data = ":" + std::string(400, '0') + ":0000000";
    std::string long_start = ":04000005" + std::string(300, '1') + "\n:0000000";
    std::string exact = ":" + std::string(254, 'A');
    std::string out = run_filter(long_data + "\n" + long_start + "\n" + exact + "\n" + long_data, &report);
    EXPECT_EQ(out, long_data + "\r\n:0000000\r\n" + exact + "\r\n" + long_data + "\r\n");
    EXPECT_EQ(report, ":scmd=5 start=11111111\n");
}

TEST(Filter, NulEndsTheTextOfALongLine)
{
    std::string report;
    std::string line = std::string(":0000", 5) + '\0' + std::string(300, '1');
    EXPECT_EQ(run_filter(line + "\n:00000001FF\n", &report), ":0000\r\n:00000001FF\r\n");
}

TEST(Filter, LoneColonFollowsThePreviousRecordType)
{
    std::string report;
    EXPECT_EQ(run_filter(":0400000508000131BD\n:\n:00000001FF\n:\n", &report), ":00000001FF\r\n:\r\n");
    EXPECT_EQ(report, ":scmd=5 start=8000131\n:scmd=5 start=8000131\n");
}

static std::string image_of_words(std::initializer_list<uint32_t> words, size_t extra = 0)
{
    std::string bytes;
    for (uint32_t w : words)
        for (int i = 0; i < 4; i++)
            bytes += (char)(w >> (8 * i));
    for (size_t i = 0; i < extra; i++)
        bytes += (char)(i * 7 + 3);
    return bytes;
}

template <typename Mode> static std::string run_image(Mode mode, const std::string& path)
{
    InputPath = path.c_str();
    memset(Image, 0, sizeof Image);
    return capture_output([&] { mode(); });
}

TEST(Image, CheckAndFixTheWorkedExample)
{
    std::string original = image_of_words({1, 2, 3, 4, 5, 6, 7, 0});
    std::string path = write_temp_file("image", original);
    EXPECT_EQ(run_image(check_image, path), "sum=1c\n");
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(run_image(fix_image, path), "sum=1c\n");
    EXPECT_EQ(read_file(path), image_of_words({1, 2, 3, 4, 5, 6, 7, 0xffffffe4}));
    EXPECT_EQ(run_image(fix_image, path), "sum=0\n");
    EXPECT_EQ(read_file(path), image_of_words({1, 2, 3, 4, 5, 6, 7, 0xffffffe4}));
}

TEST(Image, FixKeepsLengthAndEveryOtherByte)
{
    // Longer than the image buffer: only bytes 28 to 31 change.
    std::string big = image_of_words({0x10, 0, 0, 0, 0, 0, 0, 0x20}, 1000000);
    std::string path = write_temp_file("image_big", big);
    EXPECT_EQ(run_image(fix_image, path), "sum=30\n");
    std::string expected = big;
    expected.replace(28, 4, image_of_words({0xfffffff0}));
    EXPECT_EQ(read_file(path), expected);

    // Shorter than 32 bytes: missing bytes count as zero in the sum, and a
    // correction that would reach past the end is refused, the file kept.
    std::string short_image = image_of_words({0, 0, 0, 0, 0, 0, 0, 0x0100}).substr(0, 30);
    short_image[0] = 5;
    path = write_temp_file("image_short", short_image);
    EXPECT_EQ(run_image(check_image, path), "sum=105\n");
    int rc = 0;
    EXPECT_EQ(run_image([&] { rc = fix_image(); }, path), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(read_file(path), short_image);

    path = write_temp_file("image_empty", "");
    EXPECT_EQ(run_image(fix_image, path), "sum=0\n");
    EXPECT_EQ(read_file(path), "");
    path = write_temp_file("image_tiny", "\x01\x02");
    EXPECT_EQ(run_image(check_image, path), "sum=201\n");
}
