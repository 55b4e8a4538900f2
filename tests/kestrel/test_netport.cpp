// test_netport.cpp - network ports through the channel, against a scripted server.
#include "fake_platform.h"
#include "channel.h"
#include "keys.h"
#include "linectl.h"
#include "net/netport.h"
#include "options.h"
#include <gtest/gtest.h>
#include <string>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

static std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += (char)b;
    return s;
}

TEST(NetUrl, GoodAndBad)
{
    net_url u;
    const char* why = nullptr;
    EXPECT_EQ(net_parse_url("rfc2217://lab-rack.example:2001", &u, &why), 1);
    EXPECT_TRUE(u.rfc2217);
    EXPECT_STREQ(u.host, "lab-rack.example");
    EXPECT_EQ(u.port, 2001);
    EXPECT_EQ(net_parse_url(" TCP://[::1]:65535", &u, &why), 1);
    EXPECT_FALSE(u.rfc2217);
    EXPECT_STREQ(u.host, "::1");
    EXPECT_EQ(u.port, 65535);
    EXPECT_EQ(net_parse_url("tcp://10.0.0.7:1", &u, &why), 1);
    EXPECT_STREQ(u.host, "10.0.0.7");
    EXPECT_EQ(net_parse_url("/dev/ttyUSB0", &u, &why), 0);
    EXPECT_EQ(net_parse_url("COM3", &u, &why), 0);
    struct {
        const char *url, *why;
    } bad[] = {
        { "rfc2217://host", "no port number" },
        { "tcp://host:", "no port number" },
        { "tcp://[::1]", "no port number" },
        { "tcp://[::1", "no closing ] after the IPv6 address" },
        { "tcp://:80", "no host" },
        { "tcp://host:0", "port number out of range (1 to 65535)" },
        { "tcp://host:65536", "port number out of range (1 to 65535)" },
        { "tcp://host:0000000000080", "port number with a leading 0" },
        { "tcp://host:000080", "port number with a leading 0" },
        { "tcp://host:80/", "unexpected \"/\" after the port" },
        { "tcp://host:80/dev/ttyS0", "unexpected \"/\" after the port" },
        { "rfc2217://host:80?baud=9600", "unexpected \"?\" after the port" },
        { "tcp://host:80 ", "unexpected blank after the port" },
        { "tcp://host:80\x01", "unexpected byte 0x01 after the port" },
        { "tcp://host/x:80", "unexpected \"/\" in the host name" },
        { "telnet://host:23", "unknown scheme (rfc2217:// or tcp://)" },
        { "://host:23", "unknown scheme (rfc2217:// or tcp://)" },
    };
    for (auto& b : bad) {
        EXPECT_EQ(net_parse_url(b.url, &u, &why), -1) << b.url;
        EXPECT_STREQ(why, b.why) << b.url;
    }
}

// A server in the manner of ser2net on a pseudo-terminal: it agrees to
// COM-PORT-OPTION and confirms each setting with its value, but never DTR
// or RTS (a pty has no modem lines); it runs at `rate` whatever is asked.
static long server_rate;
static std::string ser2net_like(const std::string& got)
{
    std::string reply;
    for (size_t i = 0; i + 2 < got.size(); i++) {
        if ((unsigned char)got[i] != 255) continue;
        unsigned char verb = got[i + 1], opt = got[i + 2];
        if (verb == 251 && opt == 44) reply += bytes({ 255, 253, 44 });
        if (verb != 250 || opt != 44) continue;
        size_t end = got.find(bytes({ 255, 240 }), i);
        std::string value = got.substr(i + 4, end - i - 4);
        int cmd = (unsigned char)got[i + 3];
        if (cmd == 5 && (value[0] == 8 || value[0] == 11)) continue;
        if (cmd == 1 && server_rate) {
            long r = server_rate;
            value = bytes({ (int)(r >> 24 & 255), (int)(r >> 16 & 255), (int)(r >> 8 & 255),
                (int)(r & 255) });
        }
        reply += bytes({ 255, 250, 44, cmd + 100 }) + value + bytes({ 255, 240 });
        i = end;
    }
    return reply;
}

class Net : public testing::Test {
protected:
    void SetUp() override
    {
        fake_reset();
        server_rate = 0;
        port_name = "rfc2217://board:4001";
        wait_flag = false;
        opt_table['b'] = opt_table['m'] = opt_table['f'] = opt_table['r'] = nullptr;
        line_fmt = line_format { 8, 'N', 1, 0 };
    }
};

TEST_F(Net, OpenSetsTheRemotePortAndWarnsOfWhatIsNotConfirmed)
{
    fake.net_server = ser2net_like;
    server_rate = 115200; // it keeps its own rate
    CaptureStderr();
    ASSERT_TRUE(RS_start(0, 1000000, true));
    EXPECT_EQ(fake.net_hosts, std::vector<std::string> { "board:4001" });
    // Offers, then the settings in the order of a local open.
    std::string want = bytes({ 255, 251, 44, 255, 251, 0, 255, 251, 3, 255, 253, 0, 255, 253, 3 });
    want += bytes({ 255, 250, 44, 1, 0, 15, 66, 64, 255, 240 }); // 1000000 baud
    want += bytes({ 255, 250, 44, 2, 8, 255, 240, 255, 250, 44, 3, 1, 255, 240 }); // 8, none
    want += bytes({ 255, 250, 44, 4, 1, 255, 240, 255, 250, 44, 5, 1, 255, 240 }); // 1, no flow
    want += bytes(
        { 255, 250, 44, 12, 3, 255, 240, 255, 250, 44, 5, 6, 255, 240 }); // purge, break off
    want += bytes({ 255, 250, 44, 5, 8, 255, 240, 255, 250, 44, 5, 11, 255, 240 }); // DTR, RTS
    EXPECT_EQ(fake.net_out, want);
    EXPECT_EQ(GetCapturedStderr(),
        "WARNING: rfc2217://board:4001 did not confirm the DTR setting\n"
        "WARNING: rfc2217://board:4001 did not confirm the RTS setting\n"
        "WARNING: rfc2217://board:4001 runs at 115200 baud, not 1000000\n");
    EXPECT_LE(fake.clock, 1000); // a second for the settings never confirmed, no more
    modem_state m;
    fake.net_in = bytes({ 255, 250, 44, 107, 0x90, 255, 240 }); // CTS and DCD
    EXPECT_EQ(RS_checkdata(), 0);
    ASSERT_EQ(net_lines(&m), 0);
    EXPECT_EQ(m.dtr + m.rts + m.cts + m.dcd, 4);
    EXPECT_EQ(m.dsr + m.ri, 0);
    fake.net_out.clear();
    EXPECT_EQ(net_set_dtr(0), 0);
    EXPECT_EQ(net_set_rts(1), 0);
    EXPECT_EQ(net_set_break(1), 0);
    EXPECT_EQ(net_set_break(0), 0);
    EXPECT_EQ(fake.net_out,
        bytes({ 255, 250, 44, 5, 9, 255, 240, 255, 250, 44, 5, 11, 255, 240, 255, 250, 44, 5, 5,
            255, 240, 255, 250, 44, 5, 6, 255, 240 }));
    EXPECT_EQ(net_lines(&m), 0);
    EXPECT_EQ(m.dtr, 0);

    // Again (-w after a hang-up): each connection warns of its own server,
    // one restarted without RFC 2217 too.
    RS_close();
    CaptureStderr();
    CaptureStdout();
    ASSERT_TRUE(RS_reconnect(0, 1000000));
    EXPECT_EQ(GetCapturedStdout(),
        "Port rfc2217://board:4001 hung up. Waiting for it again.\n"
        "Port rfc2217://board:4001 is back.\n");
    EXPECT_EQ(GetCapturedStderr(),
        "WARNING: rfc2217://board:4001 did not confirm the DTR setting\n"
        "WARNING: rfc2217://board:4001 did not confirm the RTS setting\n");
    fake.net_server = [](const std::string&) { return bytes({ 255, 254, 44 }); };
    for (int again = 0; again < 2; again++) {
        RS_close();
        CaptureStderr();
        CaptureStdout();
        ASSERT_TRUE(RS_reconnect(0, 1000000));
        GetCapturedStdout();
        EXPECT_EQ(GetCapturedStderr(),
            "WARNING: rfc2217://board:4001 refuses COM-PORT-OPTION: the rate and lines cannot be "
            "set\n");
    }
    RS_close();
}

TEST_F(Net, DataBothWaysThroughAShortSocket)
{
    // Every byte value out through a socket that takes 7 bytes a write, and
    // in through reads of 5: IAC doubled and undone, nothing lost or added.
    fake.net_server = ser2net_like;
    CaptureStderr();
    ASSERT_TRUE(RS_start(0, 9600, true));
    GetCapturedStderr();
    std::string all;
    for (int b = 0; b < 256; b++)
        all += (char)b;
    fake.net_out.clear();
    fake.net_server = nullptr;
    fake.net_room = 7;
    RS_write((const unsigned char*)all.data(), (int)all.size());
    // The write never waits: the socket took 7 bytes, the rest is queued and
    // goes as room comes, each offer handing over what the socket takes.
    EXPECT_EQ(fake.net_out.size(), 7u);
    EXPECT_EQ(RS_pending(), 256 - 7);
    for (int i = 0; i < 100 && (RS_pending() > 0 || net_pending()); i++) {
        EXPECT_LE(RS_flush(), 7);
        RS_checkdata();
    }
    EXPECT_EQ(fake.net_out, all + bytes({ 255 }));
    // Offered bit by bit to a socket that takes one byte a write, a doubled
    // IAC is cut in two: the byte counts as taken once its first half went,
    // and the second half goes before anything else.
    fake.net_out.clear();
    fake.net_room = 1;
    std::string iacs = bytes({ 255, 255, 'a', 255 });
    int offered = 0, calls = 0;
    while (offered < (int)iacs.size() && calls++ < 20) {
        int took
            = net_write((const unsigned char*)iacs.data() + offered, (int)iacs.size() - offered);
        ASSERT_GE(took, 0);
        ASSERT_LE(took, 1);
        offered += took;
    }
    for (int i = 0; i < 5 && net_pending(); i++)
        RS_checkdata();
    EXPECT_EQ(fake.net_out, bytes({ 255, 255, 255, 255, 'a', 255, 255 }));
    fake.net_read_max = 5;
    fake.net_in = all.substr(0, 255) + bytes({ 255, 255 }) + all;
    fake.net_in.insert(
        100, bytes({ 255, 250, 44, 107, 0x10, 255, 240 })); // a notice among the data
    std::string got;
    for (int i = 0; i < 400; i++) {
        unsigned char buf[512];
        int n = RS_checkdata();
        got.append((const char*)buf, (size_t)RS_read(buf, n));
    }
    EXPECT_EQ(got, all + all.substr(0, 255));
    RS_close();
}

TEST_F(Net, SilentServerIsRawTcpAndRawTcpWarnsOfSettings)
{
    // Nothing answers the offers for 3 s: one warning, then a raw stream,
    // 255 not doubled.
    CaptureStderr();
    ASSERT_TRUE(RS_start(0, 9600, true));
    EXPECT_EQ(GetCapturedStderr(),
        "WARNING: rfc2217://board:4001 does not answer COM-PORT-OPTION: "
        "the rate and lines cannot be set\n");
    EXPECT_GE(fake.clock, 3000);
    EXPECT_LT(fake.clock, 3200);
    fake.net_out.clear();
    RS_putc(255);
    EXPECT_EQ(fake.net_out, bytes({ 255 }));
    modem_state m;
    EXPECT_EQ(net_lines(&m), -1);
    EXPECT_EQ(net_set_dtr(1), 0); // said already: a -r step does nothing, quietly
    RS_close();

    port_name = "tcp://[::1]:7";
    opt_table['b'] = "9600";
    fake.net_out.clear();
    CaptureStderr();
    ASSERT_TRUE(RS_start(0, 9600, true));
    EXPECT_EQ(
        GetCapturedStderr(), "WARNING: tcp://[::1]:7 is a raw TCP port: it has no line settings\n");
    EXPECT_EQ(fake.net_hosts.back(), "::1:7");
    EXPECT_EQ(fake.net_out, ""); // no Telnet at all
    EXPECT_EQ(net_set_break(1), 0);
    RS_close();
    // Without a line option nothing was said: -k's commands hear of no lines.
    opt_table['b'] = nullptr;
    CaptureStderr();
    ASSERT_TRUE(RS_start(0, 9600, true));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(RS_set_dtr(0), -1);
    EXPECT_EQ(RS_set_break(1), -1);
    RS_close();
}

TEST_F(Net, OpenFailures)
{
    fake.net_refuse = "connection refused";
    EXPECT_EXIT(RS_start(0, 9600, true), testing::ExitedWithCode(1),
        "^Can't Open COM Port \\(rfc2217://board:4001: connection refused\\)\\.\n$");
    fake.net_refuse = "";
    fake.net_slow = 1000;
    EXPECT_EXIT(RS_start(0, 9600, true), testing::ExitedWithCode(1),
        "^Can't Open COM Port \\(rfc2217://board:4001: no answer within 5 s\\)\\.\n$");
    // The port in use: ser2net agrees to the option, says so and closes.
    fake.net_slow = 0;
    fake.net_in = bytes({ 255, 251, 3, 255, 253, 44 }) + "Port already in use\r\n";
    fake.net_eof = true;
    EXPECT_EXIT(RS_start(0, 9600, true), testing::ExitedWithCode(1),
        "^Can't Open COM Port \\(rfc2217://board:4001: Port already in use\\)\\.\n$");
    // Ctrl-A during a slow connect ends the start at once, with no message;
    // a key typed before it is kept.
    fake.net_eof = false;
    fake.net_in.clear();
    fake.net_slow = 1000;
    fake.keys = { -1, 'x', ESCAPE_KEY };
    CaptureStderr();
    EXPECT_FALSE(RS_start(0, 9600, true));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_LT(fake.clock, 500);
    EXPECT_EQ(key_poll(), 'x');
    EXPECT_EQ(key_poll(), -1);
}

TEST_F(Net, HangUpKeepsWhatCameFirst)
{
    fake.net_server = ser2net_like;
    CaptureStderr();
    ASSERT_TRUE(RS_start(0, 9600, false));
    GetCapturedStderr();
    fake.net_in = "last words";
    fake.net_eof = true;
    RS_putc('k'); // the write fails; the words that came before the close are still read
    unsigned char buf[64];
    int n = RS_checkdata();
    ASSERT_EQ(n, 10);
    EXPECT_EQ(RS_read(buf, n), 10);
    EXPECT_EXIT(RS_checkdata(), testing::ExitedWithCode(255),
        "^FATAL: COM Port Read/Write Error\\. port hung up\n$");
}

TEST_F(Net, FramingFlowAndSequenceReachTheRemotePort)
{
    // -m7E2 -fh -r: the framing and flow control go with the rate, the -r
    // steps after the open. A server that keeps 8 data bits is warned of as
    // a local port that keeps another framing is.
    opt_table['m'] = "7E2";
    opt_table['f'] = "h";
    opt_table['r'] = "dtr=0,50,dtr=1,break";
    ASSERT_TRUE(linectl_parse());
    static long datasize;
    datasize = 0;
    fake.net_server = [](const std::string& got) {
        std::string reply = ser2net_like(got);
        size_t at = reply.find(bytes({ 255, 250, 44, 102 }));
        if (datasize && at != std::string::npos) reply[at + 4] = (char)datasize;
        return reply;
    };
    CaptureStderr();
    ASSERT_TRUE(RS_start(0, 9600, true));
    EXPECT_EQ(GetCapturedStderr(),
        "WARNING: rfc2217://board:4001 did not confirm the DTR setting\n"
        "WARNING: rfc2217://board:4001 did not confirm the RTS setting\n");
    std::string settings
        = bytes({ 255, 250, 44, 2, 7, 255, 240, 255, 250, 44, 3, 3, 255, 240 }) // 7, even
        + bytes({ 255, 250, 44, 4, 2, 255, 240, 255, 250, 44, 5, 3, 255, 240 }); // 2, RTS/CTS
    EXPECT_NE(fake.net_out.find(settings), std::string::npos);
    std::string sequence;
    for (int v : { 9, 8, 5, 6 })
        sequence += bytes({ 255, 250, 44, 5, v, 255, 240 });
    size_t rts_up = fake.net_out.find(bytes({ 255, 250, 44, 5, 11, 255, 240 }));
    EXPECT_EQ(fake.net_out.substr(rts_up + 7), sequence); // after the open's own settings
    EXPECT_GE(fake.clock, 50 + 250);
    line_format got;
    ASSERT_EQ(net_format(&got), 0);
    EXPECT_EQ(got.data_bits * 100 + got.stop_bits, 702);
    EXPECT_EQ(got.parity, 'E');
    EXPECT_EQ(got.flow, 'h');
    RS_close();

    datasize = 8;
    CaptureStderr();
    ASSERT_TRUE(RS_start(0, 9600, true));
    std::string err = GetCapturedStderr();
    EXPECT_NE(
        err.find("WARNING: rfc2217://board:4001 runs at 8E2 -fh, not 7E2 -fh\n"), std::string::npos)
        << err;
    RS_close();
    opt_table['m'] = opt_table['f'] = opt_table['r'] = nullptr;
    linectl_parse();
}

// Servers that send what no sound one does: the session stays in step and
// bounded, and a server that piles up our answers ends it as a hang-up.
TEST_F(Net, HostileServers)
{
    const std::string opening = bytes({ 255, 251, 3, 255, 253, 3 }); // as ser2net starts
    std::string flip_flops;
    for (int i = 0; i < 30000; i++)
        flip_flops += bytes({ 255, 251, 0, 255, 252, 0 }); // WILL BINARY, WONT BINARY
    std::string echo_asks;
    for (int i = 0; i < 10000; i++)
        echo_asks += bytes({ 255, 253, 1 }); // DO ECHO
    const std::string comport_warning = "WARNING: rfc2217://board:4001 does not answer "
                                        "COM-PORT-OPTION: the rate and lines cannot be set\n";
    const std::string lines_warning
        = "WARNING: rfc2217://board:4001 did not confirm the DTR setting\n"
          "WARNING: rfc2217://board:4001 did not confirm the RTS setting\n";
    const std::string early = "ab" + bytes({ 255, 251, 1 }) + "cd" + bytes({ 255, 255, 255 });
    struct {
        const char* name;
        std::string before; // sent at once, before any answer
        bool answers; // then answers as ser2net does
        std::string after; // sent once the session runs
        int room; // what the socket then takes (-1 all)
        std::string err; // stderr (a regex where exit is set)
        std::string data; // what the session reads
        std::string once; // sent to the server exactly once
        int exit; // the code of a run that ends, or -1
    } servers[] = {
        { "data before the answer", std::string(200000, 'd'), true, "x", -1, lines_warning, "x",
            bytes({ 255, 250, 44, 1 }), -1 },
        { "early 0xFF, never negotiates", early, false, "e", -1, comport_warning, early + "e", "",
            -1 },
        { "asks again and again", opening + echo_asks, true, echo_asks + "y", -1, lines_warning,
            "y", bytes({ 255, 252, 1 }), -1 },
        { "flips an option and never reads", opening, true, flip_flops, 0,
            "^WARNING: rfc2217://board:4001 did not confirm the DTR setting\n.*"
            "WARNING: rfc2217://board:4001 keeps sending requests and reads none of the answers: "
            "connection closed\nFATAL: COM Port Read/Write Error\\. port hung up\n$",
            "", "", 255 },
        { "floods the open", opening + flip_flops, false, "", 0,
            "^Can't Open COM Port \\(rfc2217://board:4001: the server keeps sending requests "
            "and reads none of the answers\\)\\.\n$",
            "", "", 1 },
    };
    for (auto& server : servers) {
        SCOPED_TRACE(server.name);
        auto run = [&]() {
            fake_reset();
            fake.clock_step = 1; // a spin shows as time that passes
            fake.net_in = server.before;
            if (server.answers) fake.net_server = ser2net_like;
            fake.net_room = server.exit == 1 ? server.room : -1; // reads during the open
            if (!RS_start(0, 9600, true)) return std::string("no start");
            fake.net_in += server.after;
            fake.net_room = server.room;
            std::string got;
            static unsigned char buf[RX_BLOCK];
            for (int i = 0; i < 100; i++)
                got.append((const char*)buf, (size_t)RS_read(buf, RS_checkdata()));
            RS_close();
            return got;
        };
        if (server.exit >= 0) {
            EXPECT_EXIT(run(), testing::ExitedWithCode(server.exit), server.err);
            continue;
        }
        CaptureStderr();
        std::string got = run();
        EXPECT_EQ(GetCapturedStderr(), server.err);
        EXPECT_EQ(got, server.data);
        if (server.once.empty()) continue;
        size_t first = fake.net_out.find(server.once);
        EXPECT_NE(first, std::string::npos);
        EXPECT_EQ(fake.net_out.find(server.once, first + 1), std::string::npos);
    }
}
