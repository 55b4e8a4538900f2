// test_bench.cpp - benchmark runs, block check report and rate figures.
#include "fake_platform.h"
#include "bench.h"
#include "keys.h"
#include "options.h"
#include <gtest/gtest.h>
#include <string>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

static std::string dots(int n) { return std::string(n, '.'); }

class Bench : public testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        fake.openable = {7};
        debug_flag = false;
    }
    std::string run()
    {
        CaptureStdout();
        code = Benchmark(7, 115200);
        return GetCapturedStdout();
    }
    int code = -1;
};

TEST_F(Bench, CleanPeer)
{
    fake.echo = true;
    fake.clock_step = 3; // elapsed 3 ms: rates truncate, bits are ten times bytes
    EXPECT_EQ(run(), "Entering Benchmark: Escape=^A\n" + dots(250) +
                         "\nBenchmark end. 32000 bytes/3 ms,  10666666 bytes/s (106666660 bps)\n");
    EXPECT_EQ(fake.tx.size(), 32000u);
    EXPECT_EQ(fake.tx[127].byte, 0x9f);
}

TEST_F(Bench, MissingPeerTimesOutAfterASecond)
{
    EXPECT_EQ(run(), "Entering Benchmark: Escape=^A\n" + dots(250) +
                         "\nBenchmark TIMEOUT. rxcnt 0 < count 250 ,RS_checkdata()=0\n"
                         "\nBenchmark end. 32000 bytes/1000 ms,  32000 bytes/s (320000 bps)\n");
    EXPECT_EQ(fake.waits, 100); // the drain waited on the port, it did not spin
}

TEST_F(Bench, PauseUnderASecondIsNoTimeout)
{
    fake.echo = true;
    fake.hold_until = 999; // the echo starts 999 ms after the last block went out
    std::string out = run();
    EXPECT_EQ(out.find("TIMEOUT"), std::string::npos);
    EXPECT_EQ(out.find("Errors"), std::string::npos);
    EXPECT_NE(out.find("Benchmark end. 32000 bytes/999 ms"), std::string::npos);

    fake_reset();
    fake.openable = {7};
    fake.echo = true;
    fake.hold_until = 1001;
    EXPECT_NE(run().find("\nBenchmark TIMEOUT. rxcnt 0 < count 250 ,RS_checkdata()=0\n"),
              std::string::npos);
}

TEST_F(Bench, DroppedByteReportsEveryLaterBlock)
{
    fake.echo = true;
    fake.drop_at = 128 * 17 + 5;
    std::string out = run();
    EXPECT_NE(out.find("\nBenchmark TIMEOUT. rxcnt 249 < count 250 ,RS_checkdata()=127\n"),
              std::string::npos);
    EXPECT_EQ(out.find("[16]"), std::string::npos);
    EXPECT_NE(out.find("[17]Recv Errors = "), std::string::npos);
    EXPECT_NE(out.find("[248]Recv Errors = 128/128:\n"), std::string::npos);
}

TEST_F(Bench, BadBlocksOrATimeOutExitWithTwo)
{
    fake.echo = true;
    fake.echo_mask = 0x7f; // a line that clears the eighth bit
    std::string out = run();
    EXPECT_NE(out.find("[249]Recv Errors = 32/128:\n"), std::string::npos);
    EXPECT_EQ(out.find("TIMEOUT"), std::string::npos);
    EXPECT_EQ(code, 2);

    fake_reset();
    fake.openable = {7};
    fake.echo = true;
    run();
    EXPECT_EQ(code, 0);

    fake_reset();
    fake.openable = {7};
    run(); // no peer
    EXPECT_EQ(code, 2);
}

TEST_F(Bench, PortThatStopsTakingOutputTimesOut)
{
    // The far end stops reading after 160 blocks and a half: the time-out
    // covers the write that can't go out, and the wait watched for room.
    fake.room = 160 * 128 + 64;
    fake.clock_step = 1;
    std::string out = run();
    EXPECT_EQ(out.rfind("Entering Benchmark: Escape=^A\n" + dots(161) +
                            "\nBenchmark TIMEOUT. rxcnt 0 < count 250 ,RS_checkdata()=0\n"
                            "\nBenchmark end. 32000 bytes/",
                        0),
              0u);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(fake.tx.size(), 160u * 128 + 64);
    EXPECT_GT(fake.out_waits, 0);

    // Ctrl-A ends the stalled run at once
    fake_reset();
    fake.openable = {7};
    fake.room = 3 * 128;
    for (int i = 0; i < 10; i++) fake.keys.push_back(-1);
    fake.keys.push_back(ESCAPE_KEY);
    out = run();
    EXPECT_EQ(out.rfind("Entering Benchmark: Escape=^A\n" + dots(4) + "\nBenchmark end. ", 0), 0u);
    EXPECT_TRUE(fake.keys.empty());
    EXPECT_LT(fake.clock, 200);
}

TEST_F(Bench, EscapeBeforeStartSendsOneBlock)
{
    fake.keys = {ESCAPE_KEY};
    EXPECT_EQ(run(), "Entering Benchmark: Escape=^A\n"
                     "\nBenchmark end. 32000 bytes/2 ms,  16000000 bytes/s (160000000 bps)\n");
    EXPECT_EQ(fake.tx.size(), 128u);
}

TEST(BenchCheck, CorruptBlockReportAndDump)
{
    fake_reset();
    debug_flag = false;
    for (int k = 0; k < 128; k++) fake.rx.push_back(k == 5 ? 0 : 0x20 + k);
    CaptureStdout();
    EXPECT_EQ(bench_check_block(17), 1);
    std::string out = GetCapturedStdout();
    std::string first = "[17]Recv Errors =  1/128:\n"
                        "000000 20 21 22 23 24 00 26 27 28 29 2a 2b 2c 2d 2e 2f   !\"#$.&'()*+,-./\n"
                        "000010 30 31";
    EXPECT_EQ(out.rfind(first, 0), 0u);
    EXPECT_NE(out.find("\n000070 90 91 92 93 94 95 96 97 98 99 9a 9b 9c 9d 9e 9f  ................\n\n"),
              std::string::npos);
    EXPECT_EQ(out.size(), 26u + 8 * 73 + 1);

    debug_flag = true; // a sound block still prints its trace line
    for (int k = 0; k < 128; k++) fake.rx.push_back(0x20 + k);
    CaptureStdout();
    EXPECT_EQ(bench_check_block(0), 0);
    out = GetCapturedStdout();
    EXPECT_EQ(out.size(), 128u * 3 + 1);
    EXPECT_EQ(out.substr(0, 6), " 20 21");
    debug_flag = false;
}

TEST(HexDump, ShortRowsAndEmpty)
{
    const unsigned char d[] = {0x41, 0x7f, 0x00};
    CaptureStdout();
    hex_dump(d, 3, 0x100);
    hex_dump(d, 0, 0);
    EXPECT_EQ(GetCapturedStdout(), "000100 41 7f 00\n\n");
}
