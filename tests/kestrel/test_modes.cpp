// test_modes.cpp - terminal and echo-back modes.
#include "fake_platform.h"
#include "kestrel.h"
#include <cstring>
#include <gtest/gtest.h>
#include <string>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// Scratch files go in the working folder (ctest's is in the build tree).
static std::string write_file(const char *name, const std::string &data)
{
    std::string path = name;
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
    return path;
}

static std::string read_file(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    for (int c; f && (c = fgetc(f)) != EOF;) s += (char)c;
    if (f) fclose(f);
    return s;
}

class Terminal : public testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        fake.openable = {4};
        memset(opt_table, 0, sizeof opt_table);
        upload_path = nullptr;
        log_fp = nullptr;
    }
    std::string path;
};

TEST_F(Terminal, PreambleThenFileThenKeys)
{
    path = write_file("up.bin", std::string("ab\x01", 3)); // a 1 inside the file is data
    upload_path = path.c_str();
    opt_table['U'] = "";
    fake.keys = {'x', ESCAPE_KEY, 'y'};
    CaptureStdout();
    TerminalMode(4, 9600);
    EXPECT_EQ(GetCapturedStdout(), "Entering TerminalMode: Escape=^A\n");
    EXPECT_EQ(fake_tx_string(), std::string("\rUB\rab\x01x", 8));
    for (int i = 0; i < 4; i++) EXPECT_EQ(fake.tx[i].at_ms, 32 * (i + 1));
    EXPECT_EQ(fake.tx[4].at_ms, 160); // the wait at the preamble's end counts too
    EXPECT_EQ(fake.keys.size(), 1u);  // Ctrl-A ended it; 'y' never read
    EXPECT_EQ(fake.sigint, (std::vector<int>{1, 0}));
    EXPECT_EQ(fake.sigint_out[0], 0); // Ctrl-C is ignored before the banner shows
    remove(path.c_str());
}

TEST_F(Terminal, ShortPreambleAndMissingUploadFile)
{
    upload_path = "/no/such/upload";
    opt_table['U'] = "";
    opt_table['s'] = "";
    fake.keys = {ESCAPE_KEY};
    CaptureStdout();
    CaptureStderr();
    TerminalMode(4, 9600);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "WARNING: can't open upload file:/no/such/upload\n");
    EXPECT_EQ(fake_tx_string(), "\r\r");

    fake_reset();
    fake.openable = {4};
    opt_table['U'] = nullptr; // -s alone sends nothing
    upload_path = nullptr;
    fake.keys = {'k', ESCAPE_KEY};
    CaptureStdout();
    TerminalMode(4, 9600);
    GetCapturedStdout();
    EXPECT_EQ(fake_tx_string(), "k");
}

TEST_F(Terminal, ReceivedBytesLoggedAndShown)
{
    std::string log = "term.log";
    log_fp = fopen(log.c_str(), "wb");
    std::string in("A\n\r\x00\xff", 5);
    fake.rx.assign(in.begin(), in.end());
    for (int i = 0; i < 6; i++) fake.keys.push_back(-1);
    fake.keys.push_back(ESCAPE_KEY);
    CaptureStdout();
    TerminalMode(4, 9600);
    EXPECT_EQ(GetCapturedStdout(), "Entering TerminalMode: Escape=^A\n" + in);
    fclose(log_fp);
    log_fp = nullptr;
    EXPECT_EQ(read_file(log), in);
    remove(log.c_str());
}

TEST(Echoback, ReturnsEverythingAndExpandsCR)
{
    fake_reset();
    fake.openable = {2};
    std::string in("AB\r\r\n\x01\xff", 7);
    fake.rx.assign(in.begin(), in.end());
    for (int i = 0; i < 8; i++) fake.keys.push_back('z'); // other keys are dropped
    fake.keys.push_back(ESCAPE_KEY);
    CaptureStdout();
    EchobackMode(2, 9600);
    EXPECT_EQ(GetCapturedStdout(), "Entering EchobackMode: Escape=^A\nAB\r\n\r\n\n\x01\xff");
    EXPECT_EQ(fake_tx_string(), std::string("AB\r\n\r\n\n\x01\xff", 9));
    EXPECT_TRUE(fake.sigint.empty());
}
