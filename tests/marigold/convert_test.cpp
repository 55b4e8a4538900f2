#include <gtest/gtest.h>

#include "capture.h"
#include "convert.h"

// -x from a file of the given text to the named output; the exit code.
static int convert(const std::string& input, const std::string& out, std::string* report)
{
    static std::string in;
    in = write_temp_file("convert_in.hex", input);
    static char* paths[2];
    paths[0] = (char*)in.c_str();
    paths[1] = (char*)out.c_str();
    Paths = paths;
    PathCount = 2;
    int rc = 1;
    *report = capture_output([&] { rc = convert_file(); });
    return rc;
}

// Records out of address order, one that wraps inside its type 02 segment
// and one after it that continues it: the replay puts each byte in place.
TEST(Convert, OutOfOrderAndWrappingRecordsReplayInAddressOrder)
{
    const char* text
        = ":020000021000EC\n:04FFFE0001020304F5\n:020002000506F1\n:020004000708EB\n:00000001FF\n";
    std::string report, bin = test_file_path("out.bin"), s28 = test_file_path("out.s28");
    ASSERT_EQ(convert(text, bin, &report), 0);
    EXPECT_EQ(report, "image: 00010000-0001ffff 65536 bytes\n");
    std::string image(65536, '\xff');
    image.replace(0, 6, "\x03\x04\x05\x06\x07\x08");
    image.replace(0xfffe, 2, "\x01\x02");
    EXPECT_EQ(read_file(bin), image);

    ASSERT_EQ(convert(text, s28, &report), 0);
    EXPECT_EQ(read_file(s28).substr(read_file(s28).find("\nS2") + 1),
        "S20A010000030405060708D3\nS20601FFFE0102F8\nS5030002FA\nS804000000FB\n");
    char* paths[] = { (char*)s28.c_str(), (char*)bin.c_str() };
    Paths = paths;
    capture_output([] { EXPECT_EQ(convert_file(), 0); });
    EXPECT_EQ(read_file(bin), image);
}

// Lines hold 16 bytes, merged across records, and stop where the upper 16
// bits change, which a type 04 record announces.
TEST(Convert, IntelLinesAreFullAndStopAtTheUpperAddress)
{
    std::string text
        = ":020000040800F2\n:05FFF4001111111111B3\n:05FFF900222222222259\n:02FFFE0033339B\n"
          ":020000040801F1\n:0300000033333364\n:050003004444444444A4\n:00000001FF\n";
    std::string report, hex = test_file_path("out.hex");
    ASSERT_EQ(convert(text, hex, &report), 0);
    EXPECT_EQ(report, "");
    EXPECT_EQ(read_file(hex),
        ":020000040800F2\n:0CFFF4001111111111222222222233339C\n:020000040801F1\n"
        ":0800000033333344444444440B\n:00000001FF\n");
}

// A fill past FillLimit is refused, naming its size, unless -F says :large;
// the limit counts the fill alone, not the data inside it.
TEST(Convert, LargeFillNeedsItsSuffix)
{
    const char* text = ":0100000011EE\n:0100140022C9\n:00000001FF\n"; // 19 bytes of fill
    std::string report, hex = test_file_path("fill.hex");
    uint64_t limit = FillLimit;
    memset(OptionTable, 0, sizeof OptionTable);
    const struct {
        const char* fill;
        uint64_t limit;
        int rc;
    } cases[] = { { "ff", 18, 1 }, { "ff", 19, 0 }, { "ff:large", 18, 0 } };
    for (const auto& c : cases) {
        FillLimit = c.limit;
        OptionTable[(int)'F'] = c.fill;
        remove(hex.c_str());
        std::string err = capture_error([&] { EXPECT_EQ(convert(text, hex, &report), c.rc) << c.fill; });
        EXPECT_EQ(read_file(hex).size() > 0, c.rc == 0) << c.fill << c.limit;
        if (c.rc) {
            EXPECT_NE(err.find("the fill would write 19 bytes"), std::string::npos) << err;
        }
    }
    OptionTable[(int)'F'] = nullptr;
    FillLimit = limit;
}
