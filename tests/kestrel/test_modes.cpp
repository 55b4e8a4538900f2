// test_modes.cpp - terminal and echo-back modes.
#include "fake_platform.h"
#include "bench.h"
#include "byte_queue.h"
#include "channel.h"
#include "console.h"
#include "echoback.h"
#include "keys.h"
#include "options.h"
#include "terminal.h"
#include "view.h"
#include <cstring>
#include <gtest/gtest.h>
#include <string>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

static std::string write_file(const char *name, const std::string &data)
{
    // Scratch files go to the test folder of the system, never the source tree.
    std::string path = ::testing::TempDir() + name;
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

TEST_F(Terminal, ShortPreambleAndMissingUploadFileSendsNothing)
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
    EXPECT_EQ(fake_tx_string(), ""); // no preamble for an upload that can't come

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
    EXPECT_EQ(fake.waits, 5); // the first pass took the whole block, five idle passes waited
    EXPECT_EQ(fake.endless_waits, 5); // ...until a byte or a key came: no wake-ups of their own
}

TEST_F(Terminal, UploadInBlocksWithEchoesBetween)
{
    std::string data;
    for (int i = 0; i < 3000; i++) data += (char)(i * 7 + i / 256); // holds 0x01 and 0x0d
    path = write_file("big.bin", data);
    upload_path = path.c_str();
    fake.echo = true;
    fake.keys = {ESCAPE_KEY, 'n'}; // typed at once: read only once the file is sent
    CaptureStdout();
    TerminalMode(4, 9600);
    EXPECT_EQ(GetCapturedStdout(), "Entering TerminalMode: Escape=^A\n" + data);
    EXPECT_EQ(fake_tx_string(), data);
    // one write per block, and each block's echo read before the next goes out
    EXPECT_EQ(fake.writes, (std::vector<std::pair<int, long>>{{1024, 0}, {1024, 1024}, {952, 2048}}));
    EXPECT_EQ(fake.keys.size(), 1u);
}

TEST_F(Terminal, PortThatStopsTakingOutputNeverHoldsTheKeys)
{
    std::string data(3000, 'u');
    path = write_file("stall.bin", data);
    upload_path = path.c_str();
    fake.room = 1500; // the far end reads no more after this
    std::string in("rx\n", 3);
    fake.rx.assign(in.begin(), in.end());
    fake.keys = {-1, -1, 'k', ESCAPE_KEY, 'n'}; // read ahead while the upload waits
    CaptureStdout();
    CaptureStderr();
    TerminalMode(4, 9600);
    EXPECT_EQ(GetCapturedStdout(), "Entering TerminalMode: Escape=^A\n" + in); // received meanwhile
    EXPECT_EQ(GetCapturedStderr(), "WARNING: upload file cut short by Ctrl-A:" + path + "\n");
    EXPECT_EQ(fake_tx_string(), data.substr(0, 1500));
    EXPECT_EQ(fake.keys.size(), 1u); // 'n' came after Ctrl-A
    EXPECT_GT(fake.out_waits, 0);    // the waits watched for room at the port
    remove(path.c_str());

    // Without an upload: Ctrl-A behind keys that the port can't take ends it.
    fake_reset();
    fake.openable = {4};
    upload_path = nullptr;
    fake.room = 1;
    fake.keys = {'a', 'b', 'c', ESCAPE_KEY};
    CaptureStdout();
    CaptureStderr();
    TerminalMode(4, 9600);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(fake_tx_string(), "a");
    EXPECT_TRUE(fake.keys.empty());
}

TEST(Echoback, ReturnsEverythingAndExpandsCR)
{
    fake_reset();
    fake.openable = {2};
    std::string in("\rAB\r\r\n\x01\xff\r", 9); // CRs first, in a run and last
    fake.rx.assign(in.begin(), in.end());
    for (int i = 0; i < 8; i++) fake.keys.push_back('z'); // other keys are dropped
    fake.keys.push_back(ESCAPE_KEY);
    CaptureStdout();
    EchobackMode(2, 9600);
    EXPECT_EQ(GetCapturedStdout(), "Entering EchobackMode: Escape=^A\n\r\nAB\r\n\r\n\n\x01\xff\r\n");
    EXPECT_EQ(fake_tx_string(), std::string("\r\nAB\r\n\r\n\n\x01\xff\r\n", 13));
    EXPECT_EQ(fake.writes.size(), 1u); // the whole block, CRs expanded, in one write
    // Then every pass found nothing and waited: first a pause before the
    // console got the echo, then once for each key.
    EXPECT_EQ(fake.waits, 9);
    EXPECT_EQ(fake.endless_waits, 8); // the pause had a deadline, the idle waits none
    EXPECT_TRUE(fake.sigint.empty());
}

// A queue that never empties, as under a port that always lags a little,
// holds memory for what waits in it, not for all that passed through it.
TEST(ByteQueue, MemoryFollowsWhatWaits)
{
    byte_queue q = {};
    unsigned char block[4096], next = 0, expect = 0;
    for (int i = 0; i < 4096; i++) { // 16 MiB through, 1 to 7 bytes left each time
        for (auto &c : block) c = next++;
        bq_push(&q, block, sizeof block);
        size_t n = bq_size(&q) - 1 - (i % 7);
        ASSERT_EQ(bq_front(&q)[0], expect); // the front is intact, in order
        expect = (unsigned char)(expect + n);
        bq_drop(&q, n);
    }
    EXPECT_LT(q.bytes.capacity(), (size_t)1 << 20);
}

TEST(Console, MessagesStartOnALineOfTheirOwn)
{
    CaptureStdout();
    console_banner("TerminalMode");
    message_line(); // after a banner the line is already ended
    console_show((const unsigned char *)"abc", 3);
    message_line();
    message_line(); // once is enough
    console_show((const unsigned char *)"de\n", 3);
    message_line();
    EXPECT_EQ(GetCapturedStdout(), "Entering TerminalMode: Escape=^A\nabc\nde\n");
}

static std::string stamp(int h, int m, int s, int ms)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d ", h, m, s, ms);
    return buf;
}

static std::string render(rx_view *v, const std::string &bytes, plat_time at)
{
    std::string out;
    view_render(v, (const unsigned char *)bytes.data(), (int)bytes.size(), &at, &out);
    return out;
}

TEST(View, HexOfEveryByteValueAcrossBlocks)
{
    // 256 bytes in blocks of 5, block i at second i: a line is stamped with the
    // time of its first byte, whichever block that came in.
    rx_view v = {true, true, 0};
    std::string got, want;
    for (int i = 0; i < 256; i += 5) {
        std::string block;
        for (int b = i; b < i + 5 && b < 256; b++) block += (char)b;
        got += render(&v, block, plat_time{7, 5, i / 5, 9});
    }
    for (int line = 0; line < 16; line++) {
        want += stamp(7, 5, line * 16 / 5, 9);
        for (int b = line * 16; b < line * 16 + 16; b++) {
            char pair[12];
            snprintf(pair, sizeof pair, "%02x", b);
            want += std::string(b % 16 ? " " : "") + pair;
        }
        want += "\n";
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(v.on_line, 0);

    v = rx_view{false, true, 0}; // without -T: pairs only, an open line goes on
    got = render(&v, "AB", {});
    EXPECT_EQ(got + render(&v, "\r\n", {}), "41 42 0d 0a");
}

TEST_F(Terminal, StampsOnConsoleAndLog)
{
    // "ab" comes in one read; "c\r\n\nd" in a later one, a second on: the
    // line that "ab" began keeps its time, CR LF ends one line, an empty line
    // is stamped too, and the log gets exactly what the console shows.
    std::string log = "stamps.log";
    log_fp = fopen(log.c_str(), "wb");
    opt_table['T'] = "";
    fake.rx = {'a', 'b'};
    fake.in_flight = {'c', '\r', '\n', '\n', 'd'};
    fake.hold_until = 5; // the idle pass's wait lets the clock reach it
    fake.local = {9, 59, 59, 500};
    fake.local_step_ms = 1000;
    fake.keys = {-1, -1, -1, -1, ESCAPE_KEY};
    CaptureStdout();
    TerminalMode(4, 9600);
    std::string shown = GetCapturedStdout();
    std::string want = stamp(9, 59, 59, 500) + "abc\r\n" + stamp(10, 0, 0, 500) + "\n" + stamp(10, 0, 0, 500) + "d";
    EXPECT_EQ(shown, "Entering TerminalMode: Escape=^A\n" + want);
    fclose(log_fp);
    log_fp = nullptr;
    EXPECT_EQ(read_file(log), want);
    remove(log.c_str());
}

TEST(Console, MessageEndsTheStampedLine)
{
    // the bytes after a message start a line of their own, with a stamp
    plat_time at = {1, 2, 3, 4};
    CaptureStdout();
    console_banner("TerminalMode");
    console_view(true, false);
    console_show((const unsigned char *)"ab", 2, &at);
    message_line();
    at.second = 5;
    console_show((const unsigned char *)"c\n", 2, &at);
    message_line(); // the line is ended already
    console_view(true, true);
    console_show((const unsigned char *)"\x01", 1, &at);
    message_line();
    console_show((const unsigned char *)"\x02", 1, &at);
    console_view(false, false);
    EXPECT_EQ(GetCapturedStdout(), "Entering TerminalMode: Escape=^A\n" + stamp(1, 2, 3, 4) + "ab\n" +
                                       stamp(1, 2, 5, 4) + "c\n" + stamp(1, 2, 5, 4) + "01\n" +
                                       stamp(1, 2, 5, 4) + "02");
}

// A console whose last line is ended, as at a process start.
static void fresh_console()
{
    CaptureStdout();
    message_line();
    GetCapturedStdout();
}

// -w: the port is waited for, at the start and after a hang-up.
class Waiting : public Terminal {
protected:
    void SetUp() override
    {
        Terminal::SetUp();
        wait_flag = true;
        port_name = nullptr;
        fresh_console();
    }
    void TearDown() override { wait_flag = false; }
};

TEST_F(Waiting, TerminalComesBackAfterAHangUpAndTheLogGoesOn)
{
    std::string log = "wait.log";
    log_fp = fopen(log.c_str(), "wb");
    fake.rx = {'a', 'b', 'c'};
    fake.hangups = 1;
    fake.hangup_fails = 2; // gone for two retries
    fake.rx_after = {'d', 'e', 'f'};
    fake.rate = 9600;
    fake.keys = {-1, -1, -1, -1, -1, -1, ESCAPE_KEY};
    CaptureStdout();
    CaptureStderr();
    TerminalMode(4, 1000000);
    EXPECT_EQ(GetCapturedStdout(), "Entering TerminalMode: Escape=^A\nabc\n"
                                   "Port COM4 hung up. Waiting for it again.\n"
                                   "Port COM4 is back.\ndef");
    // opened twice, warned once
    EXPECT_EQ(GetCapturedStderr(), "WARNING: COM4 runs at 9600 baud, not 1000000\n");
    fclose(log_fp);
    log_fp = nullptr;
    EXPECT_EQ(read_file(log), "abcdef"); // one file, received bytes only
    remove(log.c_str());
    EXPECT_EQ(fake.opens, (std::vector<int>{4, 4, 4, 4}));
    EXPECT_EQ(fake.bauds, (std::vector<int>{1000000, 1000000, 1000000, 1000000}));
    EXPECT_EQ(fake.closes, 2);  // the hung-up port, then the end
    EXPECT_EQ(fake.keys.size(), 0u);
}

TEST_F(Waiting, CtrlAEndsTheWaitAtTheStartOrAfterAHangUp)
{
    fake.openable = {};
    fake.keys = {-1, -1, ESCAPE_KEY, 'n'};
    CaptureStdout();
    TerminalMode(4, 9600);
    EXPECT_EQ(GetCapturedStdout(), "Waiting for port COM4. Escape=^A\n"); // no banner
    EXPECT_EQ(fake.opens.size(), 3u);
    EXPECT_EQ(fake.keys.size(), 1u);
    EXPECT_EQ(fake.sigint, (std::vector<int>{1, 0})); // an interrupt ends the wait as Ctrl-A

    // echo-back on a port named by device, which appears after one retry
    fake_reset();
    fresh_console();
    port_name = "ttyUSB0";
    fake.openable_names = {"ttyUSB0"};
    fake.fail_opens = 1;
    fake.rx = {'x', '\r'};
    fake.hangups = 1;
    fake.hangup_fails = 1000;
    fake.rate = 115200;
    fake.keys = {-1, -1, ESCAPE_KEY}; // the start's wait, the echo's idle pass, the reconnect
    CaptureStdout();
    CaptureStderr();
    EchobackMode(0, 1000000);
    EXPECT_EQ(GetCapturedStdout(), "Waiting for port ttyUSB0. Escape=^A\n"
                                   "Entering EchobackMode: Escape=^A\nx\r\n"
                                   "Port ttyUSB0 hung up. Waiting for it again.\n");
    EXPECT_EQ(GetCapturedStderr(), "WARNING: ttyUSB0 runs at 115200 baud, not 1000000\n");
    EXPECT_EQ(fake_tx_string(), "x\r\n");
    EXPECT_EQ(fake.named.size(), 3u);
}

TEST_F(Waiting, BenchmarkWaitsForThePortButNeverReconnects)
{
    fake.fail_opens = 1;
    fake.hangups = 1;
    CaptureStdout();
    EXPECT_EXIT(
        {
            Benchmark(4, 9600);
            exit(0);
        },
        testing::ExitedWithCode(255), "^FATAL: COM Port Read/Write Error\\. port hung up\n$");
    GetCapturedStdout();
}

TEST_F(Waiting, AHangUpDropsTheRestOfAnUpload)
{
    path = write_file("cut.bin", std::string(3000, 'u'));
    upload_path = path.c_str();
    fake.hangups = 1; // right after the first block goes out
    fake.keys = {-1, -1, ESCAPE_KEY};
    CaptureStdout();
    CaptureStderr();
    TerminalMode(4, 9600);
    EXPECT_EQ(GetCapturedStdout(), "Entering TerminalMode: Escape=^A\n"
                                   "Port COM4 hung up. Waiting for it again.\n"
                                   "Port COM4 is back.\n");
    EXPECT_EQ(GetCapturedStderr(), "WARNING: upload file cut short by a hang-up:" + path + "\n");
    EXPECT_EQ(fake_tx_string(), std::string(1024, 'u')); // nothing more after the reset
    remove(path.c_str());
}
