// test_options.cpp - option walk and mode dispatch.
#include "fake_platform.h"
#include "channel.h"
#include "keys.h"
#include "options.h"
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

static void walk(std::vector<std::string> &args)
{
    static std::vector<std::string> keep;
    keep = args;
    keep.insert(keep.begin(), "kestrel");
    static std::vector<char *> argv;
    argv.clear();
    for (auto &a : keep) argv.push_back(&a[0]);
    parse_args((int)argv.size(), argv.data());
}

TEST(OptionWalk, Quirks)
{
    std::vector<std::string> a = {"-c3", "-b"};
    walk(a); // -b as the last argument counts as not given
    EXPECT_STREQ(opt_table['c'], "3");
    EXPECT_EQ(opt_table['b'], nullptr);

    a = {"-b", "-c3", "-e"}; // -c3 is the baud text, not an option
    walk(a);
    EXPECT_STREQ(opt_table['b'], "-c3");
    EXPECT_EQ(opt_table['c'], nullptr);
    EXPECT_STREQ(opt_table['e'], "");

    a = {"-c", "3", "-t"}; // the 3 ends the walk
    walk(a);
    EXPECT_STREQ(opt_table['c'], "");
    EXPECT_EQ(opt_table['t'], nullptr);

    a = {"-lone", "-ltwo", "-l", "three", "-\xe5x"}; // later wins; letter masked to 7 bits
    walk(a);
    EXPECT_STREQ(opt_table['l'], "three");
    EXPECT_STREQ(opt_table['e'], "x");
}

class Dispatch : public testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        fake.openable = {3, 5, 12};
        fake.keys = {ESCAPE_KEY};
    }
};

TEST_F(Dispatch, UsageWinsAndCreatesNoLog)
{
    std::string log = "kestrel_usage.log"; // in the working folder, the build tree's
    unlink(log.c_str());
    CaptureStdout();
    EXPECT_EQ(run_kestrel({"-l", log, "-?"}), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out.rfind("* kestrel     \x96\xb3", 0), 0u);
    EXPECT_NE(out.find("  -U<uploadfile>... upload file after 'UB\\n'.\n"), std::string::npos);
    EXPECT_NE(out.find("  -c<comNumber> ... Set COM Port Number. (1..99) \n"), std::string::npos);
    EXPECT_NE(access(log.c_str(), F_OK), 0);
    EXPECT_TRUE(fake.opens.empty());
}

TEST_F(Dispatch, BaudPrintedAndTerminalOnNamedPort)
{
    CaptureStdout();
    EXPECT_EQ(run_kestrel({"-b", "9600", "-c5"}), 0);
    EXPECT_EQ(GetCapturedStdout(), "9600\nEntering TerminalMode: Escape=^A\n");
    ASSERT_EQ(fake.opens, std::vector<int>{5});
    EXPECT_EQ(fake.bauds[0], 9600);

    fake_reset();
    fake.openable = {3};
    fake.keys = {ESCAPE_KEY};
    CaptureStdout();
    run_kestrel({"-b", "-c3", "-c3"}); // the rate text holds no number
    EXPECT_EQ(GetCapturedStdout().rfind("1000000\n", 0), 0u);
    EXPECT_EQ(fake.opens, std::vector<int>{3}); // only the second -c3 is an option
}

TEST_F(Dispatch, RateNoPortCanRunAtIsRefusedBeforeAnyOpen)
{
    std::string log = "kestrel_rate.log";
    for (const char *bad : {"0", "-9600", "99999999999", "2147483648", " -0", "4294967296"}) {
        unlink(log.c_str());
        EXPECT_EXIT(run_kestrel({"-l", log, "-b", bad, "-c3"}), testing::ExitedWithCode(1),
                    std::string("^Fatal: baud rate out of range \\(1\\.\\.2147483647\\): ") + bad + "\n$")
            << bad;
        EXPECT_NE(access(log.c_str(), F_OK), 0) << bad; // refused before anything else
    }
    // The largest rate, a number followed by text, and no number at all
    for (auto t : std::vector<std::pair<std::string, std::string>>{
             {"2147483647", "2147483647\n"}, {"12abc", "12\n"}, {"abc", "1000000\n"}, {"+", "1000000\n"}}) {
        fake_reset();
        fake.openable = {3};
        fake.keys = {ESCAPE_KEY};
        CaptureStdout();
        EXPECT_EQ(run_kestrel({"-b", t.first, "-c3"}), 0);
        EXPECT_EQ(GetCapturedStdout().rfind(t.second, 0), 0u) << t.first;
    }
}

TEST_F(Dispatch, BenchmarkThatFailsExitsWithTwo)
{
    fake.keys = {};
    CaptureStdout();
    EXPECT_EQ(run_kestrel({"-t", "-c3"}), 2); // no peer: the run timed out
    EXPECT_NE(GetCapturedStdout().find("\nBenchmark TIMEOUT. rxcnt 0 < count 250 ,RS_checkdata()=0\n"),
              std::string::npos);

    fake_reset();
    fake.openable = {3};
    fake.echo = true;
    CaptureStdout();
    EXPECT_EQ(run_kestrel({"-t", "-c3"}), 0);
    GetCapturedStdout();
}

TEST_F(Dispatch, EchoWinsOverBenchmarkAndScanPicksHighest)
{
    fake.reg = {{1, "COM3"}, {1, "COM12"}};
    CaptureStdout();
    run_kestrel({"-t", "-e"});
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("==== COM Port List====\nCOM12:"), std::string::npos);
    EXPECT_NE(out.find("Entering EchobackMode"), std::string::npos);
    EXPECT_EQ(fake.opens, std::vector<int>{12});
    EXPECT_EQ(fake.bauds[0], 1000000);
}

TEST_F(Dispatch, ListingIgnoresBaudAndKeepsLog)
{
    std::string log = "kestrel_p.log";
    fake.reg = {{1, "COM3"}};
    CaptureStdout();
    EXPECT_EQ(run_kestrel({"-b", "9600", "-p", "-l", log}), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out.find("9600"), std::string::npos);
    EXPECT_EQ(access(log.c_str(), F_OK), 0);
    if (log_fp) fclose(log_fp);
    unlink(log.c_str());
}

TEST_F(Dispatch, UncreatableLogIsReported)
{
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(run_kestrel({"-l/no/such/dir/x.log", "-c3"}), 0);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), "WARNING: can't create log file:/no/such/dir/x.log\n");
    EXPECT_EQ(fake.opens, std::vector<int>{3}); // the session still runs
}

TEST_F(Dispatch, LogHoldsWhatWasShownWhenTheRunDies)
{
    // The process ends without closing the log (a write error here; a signal
    // in real life): every byte received before that is in the file.
    std::string log = "kestrel_fatal.log";
    fake.rx = {'h', 'e', 'l', 'l', 'o'};
    fake.keys = {-1, -1, -1, -1, -1, 'x'};
    fake.short_write = 1;
    EXPECT_EXIT(run_kestrel({"-l", log, "-c3"}), testing::ExitedWithCode(255), "cnt != dwWritten");
    FILE *f = fopen(log.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[16] = {0};
    size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, n), "hello");
    unlink(log.c_str());
}

TEST_F(Dispatch, NoPortFoundFailsOnCom0)
{
    EXPECT_EXIT(run_kestrel({}), testing::ExitedWithCode(1), "Can't Open COM Port \\(COM0:\\)\\.\n");
    // -w has no port to wait for
    EXPECT_EXIT(run_kestrel({"-w"}), testing::ExitedWithCode(1), "^Can't Open COM Port \\(COM0:\\)\\.\nNo such file or directory\n$");
}

TEST_F(Dispatch, RateReadBackWarnsOnlyInAMode)
{
    fake.reg = {{1, "COM3"}};
    fake.rate = 9600;
    fake.rx = {'U'}; // the probe's answer
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(run_kestrel({"-p", "-c3"}), 0);
    GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(), ""); // not by the probe
    EXPECT_EQ(fake.opens, std::vector<int>{3});

    fake.keys = {ESCAPE_KEY};
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(run_kestrel({"-b", "9600", "-c3"}), 0); // the same rate: no word
    fake.keys = {ESCAPE_KEY};
    run_kestrel({"-c3", "-e"});
    EXPECT_EQ(GetCapturedStdout(), "9600\nEntering TerminalMode: Escape=^A\nEntering EchobackMode: Escape=^A\n");
    EXPECT_EQ(GetCapturedStderr(), "WARNING: COM3 runs at 9600 baud, not 1000000\n");
}

TEST_F(Dispatch, PortNamedOrGivenAsComName)
{
    fake.reg = {{1, "COM12"}};
    fake.openable_names = {"ttyUSB0"};
    CaptureStdout();
    EXPECT_EQ(run_kestrel({"-e", "-cttyUSB0"}), 0);
    EXPECT_EQ(GetCapturedStdout(), "Entering EchobackMode: Escape=^A\n"); // no scan
    EXPECT_EQ(fake.named, std::vector<std::string>{"ttyUSB0"});
    EXPECT_TRUE(fake.opens.empty());

    for (const char *arg : {"-cCOM5", "-ccom5", "-c 5"}) {
        fake_reset();
        fake.openable = {5};
        fake.keys = {ESCAPE_KEY};
        CaptureStdout();
        run_kestrel({arg});
        EXPECT_EQ(GetCapturedStdout(), "Entering TerminalMode: Escape=^A\n") << arg;
        EXPECT_EQ(fake.opens, std::vector<int>{5}) << arg;
    }
}

TEST_F(Dispatch, DetailedListWinsAndCreatesNoLog)
{
    std::string log = testing::TempDir() + "kestrel_L.log";
    unlink(log.c_str());
    fake.reg = {{1, "COM3"}};
    CaptureStdout();
    EXPECT_EQ(run_kestrel({"-l", log, "-p", "-L"}), 0);
    EXPECT_EQ(GetCapturedStdout(), "no serial ports\n");
    EXPECT_NE(access(log.c_str(), F_OK), 0);
}

// No argument is lost without a word: one warning each for an unknown
// letter, arguments after the options' end (a -r sequence the shell split, a
// -u file apart from its letter), a -r with no sequence. The walk and the
// exit code are as before; every letter something reads is known.
TEST_F(Dispatch, ArgumentsLeftUnreadAreWarnedOf)
{
    struct {
        std::vector<std::string> args;
        const char* err;
        int code;
    } runs[] = {
        { {"-M7E1", "-c3"}, "WARNING: unknown option -M7E1 ignored\n", 0 },
        { {"-c3", "-r", "dtr=0", "100", "dtr=1"},
          "WARNING: \"100\" ends the options: 100 dtr=1 ignored (a -r sequence with blanks goes in quotes)\n", 0 },
        { {"-c3", "-r"}, "WARNING: -r without a sequence ignored\n", 0 },
        { {"-c3", "-F"}, "WARNING: -F without a command ignored\n", 0 },
        { {"-c3", "-u", "fw.bin"},
          "WARNING: \"fw.bin\" ends the options: fw.bin ignored (the file goes in the same argument: -ufw.bin)\n"
          "WARNING: can't open upload file:\n", 0 },
        { {"-c", "3"}, "WARNING: \"3\" ends the options: 3 ignored\n", 0 },
        { {"-c3", "-m9N1", "-Z"}, "WARNING: unknown option -Z ignored\nBad framing -m9N1: use -m<data bits 5-8><parity N, E, O, M or S><stop bits 1 or 2>, as -m8N1\n", 1 },
        { {"-c3", "-b", "-M", "-s", "-d", "-x", "-T", "-k", "-w", "-fn", "-m8N1", "-r10", "-lx.log", "-U", "-"}, "WARNING: can't open upload file:\n", 0 },
        { {"-h", "-/", "-?", "--", "-e", "-t", "-p", "-L", "-uf"}, "", 0 },
    };
    for (auto &run : runs) {
        fake_reset();
        fake.openable = {3, 12};
        fake.reg = {{1, "COM3"}}; // the scan's pick when the walk ends before -c
        fake.keys = {ESCAPE_KEY};
        CaptureStdout();
        CaptureStderr();
        int code = run_kestrel(run.args);
        GetCapturedStdout();
        EXPECT_EQ(GetCapturedStderr(), run.err) << run.args[0] << " " << run.args[1];
        EXPECT_EQ(code, run.code);
    }
    unlink("x.log");
}

TEST(Serial, FailuresExitWithTheirCodes)
{
    fake_reset();
    EXPECT_EXIT(RS_open(17, 9600), testing::ExitedWithCode(1), "^Can't Open COM Port \\(COM17:\\)\\.\nNo such file or directory\n$");
    fake.openable = {2};
    fake.short_write = 1;
    RS_open(2, 9600);
    EXPECT_EXIT(RS_putc('x'), testing::ExitedWithCode(255),
                "^FATAL: COM Port Read/Write Error\\. cnt != dwWritten\n$");
    // A port that hung up ends the run at its next use, whichever it is.
    fake.hung_up = true;
    const char *hung_up = "^FATAL: COM Port Read/Write Error\\. port hung up\n$";
    unsigned char b;
    EXPECT_EXIT(RS_putc('x'), testing::ExitedWithCode(255), hung_up);
    EXPECT_EXIT(RS_checkdata(), testing::ExitedWithCode(255), hung_up);
    EXPECT_EXIT(RS_read(&b, 1), testing::ExitedWithCode(255), hung_up);
}
