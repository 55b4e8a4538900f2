// test_linectl.cpp - framing, flow control, -r sequences and the -k command key.
#include "fake_platform.h"
#include "keys.h"
#include "linectl.h"
#include "options.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

static std::vector<std::pair<std::string, long>> calls(
    std::initializer_list<std::pair<std::string, long>> l)
{
    return l;
}

// Keys after `idle` polls that find none: a wait of the sequence polls the
// keyboard every 10 ms, and a Ctrl-A it finds ends the session.
static std::deque<int> keys_after(int idle, std::initializer_list<int> keys)
{
    std::deque<int> d(idle, -1);
    d.insert(d.end(), keys);
    return d;
}

class LineControl : public testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        fake.openable = { 4 };
    }
    std::string out, err;
    int code = 0;
    void session(std::vector<std::string> args)
    {
        CaptureStdout();
        CaptureStderr();
        code = run_kestrel(args);
        out = GetCapturedStdout();
        err = GetCapturedStderr();
    }
};

TEST_F(LineControl, FramingGoesWithTheRateAndIsReadBack)
{
    fake.keys = { ESCAPE_KEY };
    session({ "-c4", "-m7e2", "-fh" });
    ASSERT_EQ(fake.formats.size(), 1u);
    const line_format& f = fake.formats[0];
    EXPECT_EQ(
        std::string(1, (char)('0' + f.data_bits)) + f.parity + (char)('0' + f.stop_bits) + f.flow,
        "7E2h");
    EXPECT_EQ(err, "");
    // a port that keeps 8N1: one warning, in the rate warning's form
    fake_reset();
    fake.openable = { 4 };
    fake.kept = line_format { 8, 'N', 1, 'n' };
    fake.keys = { ESCAPE_KEY };
    session({ "-c4", "-m7E1" });
    EXPECT_EQ(err, "WARNING: COM4 runs at 8N1, not 7E1\n");
    EXPECT_EQ(out, "Entering TerminalMode: Escape=^A\n");
    fake_reset();
    fake.openable = { 4 };
    fake.kept = line_format { 8, 'N', 2, 'n' };
    fake.keys = { ESCAPE_KEY };
    session({ "-e", "-c4", "-m8N2", "-fs" });
    EXPECT_EQ(err, "WARNING: COM4 runs at 8N2 -fn, not 8N2 -fs\n");
}

TEST_F(LineControl, WithoutOptionsNothingChanges)
{
    fake.keys = { 0x14, 'l', ESCAPE_KEY, 'z' };
    session({ "-c4" });
    EXPECT_EQ(out, "Entering TerminalMode: Escape=^A\n");
    EXPECT_EQ(fake_tx_string(), "\x14l");
    EXPECT_TRUE(fake.line_calls.empty());
    const line_format& f = fake.formats[0];
    EXPECT_EQ(f.data_bits * 100 + f.stop_bits, 801);
    EXPECT_EQ(f.parity, 'N');
    EXPECT_EQ(f.flow, 0);
}

TEST_F(LineControl, SequenceStepsAndWaitsInOrder)
{
    fake.keys = keys_after(50, { ESCAPE_KEY });
    session({ "-r", "dtr=0,100 DTR=1, rts=0 break,,7 rts=1", "-c4", "-t" });
    EXPECT_EQ(fake.line_calls,
        calls({ { "dtr=0", 0 }, { "dtr=1", 100 }, { "rts=0", 100 }, { "break=1", 100 },
            { "break=0", 350 }, { "rts=1", 357 } }));
    EXPECT_EQ(err, "");
    // the benchmark starts after the sequence
    EXPECT_EQ(out.rfind("Entering Benchmark: Escape=^A\n", 0), 0u);
}

// Bytes that arrive during a wait are taken in then, and the mode reads them
// ahead of the port's own, as one queue: half a block held and the rest
// still at the port make a block, so the run is not stuck waiting for it.
TEST_F(LineControl, BytesOfAWaitComeFirstAndJoinThePortsOwn)
{
    for (int k = 0; k < 64; k++)
        fake.rx.push_back((unsigned char)(0x20 + k)); // a stray half block
    fake.echo = true;
    session({ "-r100", "-c4", "-t" });
    EXPECT_EQ(code, 2); // every block is off by half a block...
    EXPECT_NE(out.find("[0]Recv Errors = "), std::string::npos);
    EXPECT_EQ(out.find("TIMEOUT"), std::string::npos); // ...but all were compared
    EXPECT_EQ(fake.read_total, 32000);
}

TEST_F(LineControl, KeysDuringAWaitAreKeptAndCtrlAEndsIt)
{
    fake.keys = { 'a' };
    for (int i = 0; i < 30; i++)
        fake.keys.push_back(-1);
    fake.keys.push_back(ESCAPE_KEY);
    session({ "-r10", "-c4" });
    EXPECT_EQ(fake_tx_string(), "a"); // typed during the wait, sent after it
    fake_reset();
    fake.openable = { 4 };
    fake.keys = { -1, -1, 'b', ESCAPE_KEY };
    session({ "-r", "dtr=0 10000 dtr=1", "-c4" });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out, ""); // ended before the banner
    EXPECT_LT(fake.clock, 100);
    EXPECT_EQ(fake.line_calls, calls({ { "dtr=0", 0 } }));
    EXPECT_EQ(fake.opens.size(), 1u);
}

TEST_F(LineControl, PulseAndHardwareFlowKeepsRts)
{
    fake.keys = { 0x14, 'p' };
    fake.keys.insert(fake.keys.end(), 20, -1);
    fake.keys.insert(fake.keys.end(), { 0x14, 'r', ESCAPE_KEY });
    session({ "-k", "-fh", "-c4" });
    EXPECT_EQ(fake.line_calls, calls({ { "dtr=0", 0 }, { "dtr=1", 100 } })); // RTS is the driver's
    EXPECT_NE(out.find("[RTS follows the flow control (-fh): not changed]\n"), std::string::npos);
}

// A Ctrl-T read ahead while the port held output back, whose command key then
// came on the ordinary path, leaves no stale state: the next Ctrl-A read
// ahead ends the session.
TEST_F(LineControl, CtrlAAfterACommandKeyReadAheadEndsTheSession)
{
    fake.room = 1;
    fake.room_on_wait = 1;
    fake.keys = { 'a', 'b', 0x14, -1, 'l', 'c', ESCAPE_KEY, -1, -1, -1, ESCAPE_KEY };
    session({ "-k", "-c4" });
    EXPECT_EQ(fake.keys.size(), 4u) << "the first Ctrl-A did not end the session";
    EXPECT_EQ(fake_tx_string(), "ab");
}

// Under -k, Ctrl-T Ctrl-A typed during a -r wait sends 0x01 after it; a
// plain Ctrl-A later ends the session.
TEST_F(LineControl, CommandKeyThenCtrlADuringAWaitSendsIt)
{
    fake.keys = { 0x14, ESCAPE_KEY };
    fake.keys.insert(fake.keys.end(), 20, -1);
    fake.keys.insert(fake.keys.end(), { 'z', ESCAPE_KEY });
    session({ "-k", "-r100", "-c4" });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(fake_tx_string(), std::string("\x01z"));
    EXPECT_TRUE(fake.keys.empty());
}

// The bytes typed before a DTR pulse leave the driver before it starts.
TEST_F(LineControl, LineStepsWaitForTheOutputAheadOfThem)
{
    fake.out_queue = 5;
    fake.out_sent_at = 500;
    fake.keys = { 'a', 0x14, 'p' };
    fake.keys.insert(fake.keys.end(), 200, -1);
    fake.keys.push_back(ESCAPE_KEY);
    session({ "-k", "-c4" });
    ASSERT_EQ(fake.line_calls.size(), 2u);
    EXPECT_EQ(fake.line_calls[0].first, "dtr=0");
    EXPECT_GE(fake.line_calls[0].second, 500);
    EXPECT_EQ(fake.line_calls[1].second - fake.line_calls[0].second, 100);
    EXPECT_EQ(out.find("held back"), std::string::npos);
}

// A port that never sends what it holds: the break (which the driver would
// make wait for it) is not sent, a DTR toggle goes ahead; both say so, 3 s
// after the key. So for a driver that holds its own queue, and for a port
// that takes nothing (XOFF, CTS low), where the command is typed behind a
// key that is still queued; a pulse then waits once, not at each step.
TEST_F(LineControl, OutputHeldBackForGoodIsNotWaitedForLong)
{
    struct {
        long out_queue, room;
        const char* keys_before;
    } ports[] = { { 5, -1, "" }, { 0, 0, "a" } };
    for (const auto& port : ports) {
        fake_reset();
        fake.openable = { 4 };
        fake.out_queue = port.out_queue;
        fake.out_sent_at = 1L << 40;
        fake.room = port.room;
        for (const char* k = port.keys_before; *k; k++)
            fake.keys.push_back(*k);
        fake.keys.insert(fake.keys.end(), { 0x14, 'b' });
        fake.keys.insert(fake.keys.end(), 400, -1);
        fake.keys.insert(fake.keys.end(), { 0x14, 'd' });
        fake.keys.insert(fake.keys.end(), 400, -1);
        fake.keys.insert(fake.keys.end(), { 0x14, 'p' });
        fake.keys.insert(fake.keys.end(), 400, -1);
        fake.keys.push_back(ESCAPE_KEY);
        session({ "-k", "-c4" });
        SCOPED_TRACE(port.keys_before);
        EXPECT_EQ(code, 0);
        ASSERT_EQ(fake.line_calls.size(), 3u); // no break
        EXPECT_EQ(fake.line_calls[0].first, "dtr=0");
        EXPECT_GE(fake.line_calls[0].second, 6000); // after two waits of 3 s
        EXPECT_EQ(fake.line_calls[2].second - fake.line_calls[1].second, 100); // the pulse
        EXPECT_NE(
            out.find("\n[output still held back by the port: no break sent]\n"), std::string::npos);
        std::string said; // by d, and once by the pulse
        for (size_t at = 0;
             (at = out.find("[output still held back by the port: the line changes ahead of it]\n",
                  at))
             != std::string::npos;
             at++)
            said += "x";
        EXPECT_EQ(said, "xx");
        EXPECT_EQ(fake_tx_string(), "");
    }
}

// A port without modem lines: each command on the lines says so on a line of
// its own; only a -r sequence warns on standard error, once.
TEST_F(LineControl, EveryCommandOnAPortWithoutLinesSaysSo)
{
    fake.modem = false;
    fake.keys = { 0x14, 'd', 0x14, 'l', 0x14, 'p' };
    fake.keys.insert(fake.keys.end(), 20, -1);
    fake.keys.insert(fake.keys.end(), { 0x14, 'r', 0x14, 'b' });
    fake.keys.insert(fake.keys.end(), 40, -1);
    fake.keys.push_back(ESCAPE_KEY);
    session({ "-k", "-r", "rts=0", "-c4" });
    EXPECT_EQ(err, "WARNING: COM4 has no modem lines\n");
    std::string lines;
    for (size_t at = 0; (at = out.find("[no modem lines]\n", at)) != std::string::npos; at++)
        lines += "x";
    EXPECT_EQ(lines, "xxxxx") << out;
    EXPECT_EQ(out.find("[DTR="), std::string::npos);
}

// Ctrl-A ends the session at once while a line step waits for the output
// ahead of it, and during a break, which then ends.
TEST_F(LineControl, CtrlAEndsTheWaitsOfABreak)
{
    fake.out_queue = 5;
    fake.out_sent_at = 1L << 40;
    fake.keys = { 0x14, 'b', -1, -1, ESCAPE_KEY, 'x' };
    session({ "-k", "-c4" });
    EXPECT_EQ(code, 0);
    EXPECT_LT(fake.clock, 100);
    EXPECT_TRUE(fake.line_calls.empty());
    EXPECT_EQ(fake.keys.size(), 1u);
    fake_reset();
    fake.openable = { 4 };
    fake.keys = { 0x14, 'b', -1, -1, ESCAPE_KEY, 'x' };
    session({ "-k", "-c4" });
    EXPECT_EQ(fake.line_calls, calls({ { "break=1", 0 }, { "break=0", 20 } }));
    EXPECT_EQ(fake.keys.size(), 1u);
}
