// test_telnet.cpp - the Telnet and COM-PORT codec, driven from strings.
#include "net/telnet.h"
#include <gtest/gtest.h>
#include <string>

static std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += (char)b;
    return s;
}

// Feeds s in pieces of `step` bytes; returns the data, replies in *reply.
static std::string feed(telnet_state* t, const std::string& s, size_t step, std::string* reply)
{
    std::string data;
    for (size_t at = 0; at < s.size(); at += step) {
        std::string piece = s.substr(at, step);
        unsigned char out[4096];
        int n
            = telnet_receive(t, (const unsigned char*)piece.data(), (int)piece.size(), out, reply);
        EXPECT_LE(n, (int)piece.size());
        data.append((const char*)out, (size_t)n);
    }
    return data;
}

static std::string escaped(const std::string& s)
{
    std::string out;
    telnet_escape((const unsigned char*)s.data(), (int)s.size(), &out);
    return out;
}

static std::string every_byte_twice()
{
    std::string all;
    for (int round = 0; round < 2; round++)
        for (int b = 0; b < 256; b++)
            all += (char)b;
    return all + bytes({ 255, 255, 255 }); // a run of IACs, odd in length
}

TEST(Telnet, EveryByteValueBothWaysAtEverySplit)
{
    std::string data = every_byte_twice();
    std::string wire = escaped(data);
    EXPECT_EQ(wire.size(), data.size() + 5); // only IAC is doubled
    EXPECT_EQ(wire.substr(0, 255), data.substr(0, 255));
    EXPECT_EQ(wire.substr(255, 3), bytes({ 255, 255, 0 }));
    // The wire cut into two reads at every place, and in reads of 1 to 7
    // bytes: each IAC pair split somewhere, never a byte lost or added.
    for (size_t cut = 0; cut <= wire.size(); cut++) {
        telnet_state t;
        std::string reply;
        telnet_start(&t, &reply);
        reply.clear();
        std::string got = feed(&t, wire.substr(0, cut), 4096, &reply);
        got += feed(&t, wire.substr(cut), 4096, &reply);
        ASSERT_EQ(got, data) << "cut at " << cut;
        EXPECT_EQ(reply, "");
    }
    for (size_t step = 1; step <= 7; step++) {
        telnet_state t;
        std::string reply;
        telnet_start(&t, &reply);
        EXPECT_EQ(feed(&t, wire, step, &reply), data) << "reads of " << step;
    }
}

TEST(Telnet, NegotiatesAsAServerOpensAndRefusesTheRest)
{
    telnet_state t;
    std::string out;
    telnet_start(&t, &out);
    // WILL COM-PORT, WILL BINARY, WILL SGA, DO BINARY, DO SGA
    EXPECT_EQ(out, bytes({ 255, 251, 44, 255, 251, 0, 255, 251, 3, 255, 253, 0, 255, 253, 3 }));
    EXPECT_EQ(t.comport, 0);
    // What ser2net sends first: WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO
    // BINARY, WILL BINARY, DO COM-PORT. Only ECHO is refused; the others answer
    // our own requests. Data around the commands passes.
    std::string opening = bytes({ 255, 251, 3, 255, 253, 3, 255, 251, 1, 255, 254, 1, 255, 253, 0,
        255, 251, 0, 255, 253, 44 });
    std::string reply;
    EXPECT_EQ(feed(&t, "a" + opening + "b", 1, &reply), "ab");
    EXPECT_EQ(reply, bytes({ 255, 254, 1 })); // DONT ECHO
    EXPECT_EQ(t.comport, 1);
    EXPECT_TRUE(t.negotiated);
    // The same again is no news: no reply, so no loop, and a server that
    // asks without end gets one answer. An option we never take is refused
    // once each way, whatever the server says of it after.
    reply.clear();
    for (int i = 0; i < 1000; i++)
        feed(&t, opening + bytes({ 255, 253, 1 }), 3, &reply);
    EXPECT_EQ(reply, bytes({ 255, 252, 1 })); // WONT ECHO, once
    reply.clear();
    for (int i = 0; i < 3; i++)
        feed(&t, bytes({ 255, 253, 24, 255, 251, 31, 255, 254, 24, 255, 252, 31 }), 2, &reply);
    EXPECT_EQ(reply, bytes({ 255, 252, 24, 255, 254, 31 })); // WONT TTYPE, DONT NAWS
    // The server turns BINARY off on its side: we agree, once.
    reply.clear();
    feed(&t, bytes({ 255, 252, 0, 255, 252, 0 }), 1, &reply);
    EXPECT_EQ(reply, bytes({ 255, 254, 0 }));
    // Then asks for it again: agreed with DO.
    reply.clear();
    feed(&t, bytes({ 255, 251, 0 }), 1, &reply);
    EXPECT_EQ(reply, bytes({ 255, 253, 0 }));
}

TEST(Telnet, ServerWithoutComPort)
{
    telnet_state t;
    std::string out, reply;
    telnet_start(&t, &out);
    feed(&t, bytes({ 255, 254, 44, 255, 252, 3 }), 1, &reply);
    EXPECT_EQ(t.comport, -1);
    EXPECT_EQ(reply, ""); // refusals of our own requests are not answered
    EXPECT_TRUE(t.negotiated);
    // A plain TCP peer never negotiates: commands that answer none of our
    // offers (a 0xFF in its data) do not count as Telnet.
    telnet_start(&t, &out);
    EXPECT_EQ(feed(&t, "login: ", 2, &reply), "login: ");
    feed(&t, bytes({ 255, 251, 1, 255, 250, 44, 1, 255, 240, 255, 253, 24, 255, 241 }), 2, &reply);
    EXPECT_FALSE(t.negotiated);
    EXPECT_EQ(t.comport, 0);
}

TEST(Telnet, SettingRequests)
{
    std::string out;
    telnet_setting(TS_BAUD, 115200, &out);
    EXPECT_EQ(out, bytes({ 255, 250, 44, 1, 0, 1, 0xc2, 0, 255, 240 }));
    out.clear();
    telnet_setting(TS_BAUD, 0x01ffff, &out); // a rate byte 255 is doubled
    EXPECT_EQ(out, bytes({ 255, 250, 44, 1, 0, 1, 255, 255, 255, 255, 255, 240 }));
    out.clear();
    telnet_setting(TS_DATASIZE, 7, &out);
    telnet_setting(TS_PARITY, TN_PARITY_EVEN, &out);
    telnet_setting(TS_STOPSIZE, 2, &out);
    telnet_setting(TS_FLOW, TN_FLOW_HARDWARE, &out);
    telnet_setting(TS_PURGE, 3, &out);
    EXPECT_EQ(out,
        bytes({ 255, 250, 44, 2, 7, 255, 240, 255, 250, 44, 3, 3, 255, 240, 255, 250, 44, 4, 2, 255,
            240, 255, 250, 44, 5, 3, 255, 240, 255, 250, 44, 12, 3, 255, 240 }));
    out.clear();
    telnet_setting(TS_BREAK, 1, &out);
    telnet_setting(TS_BREAK, 0, &out);
    telnet_setting(TS_DTR, 1, &out);
    telnet_setting(TS_DTR, 0, &out);
    telnet_setting(TS_RTS, 1, &out);
    telnet_setting(TS_RTS, 0, &out);
    std::string want;
    for (int v : { 5, 6, 8, 9, 11, 12 })
        want += bytes({ 255, 250, 44, 5, v, 255, 240 });
    EXPECT_EQ(out, want);
}

TEST(Telnet, AnswersAndNoticesSplitAnywhere)
{
    // ser2net's answers to an open's settings, then a modem-state notice and
    // a rate whose bytes hold an IAC, with data between: read in pieces of
    // every size, each answer counts once with its value.
    std::string answers = bytes({ 255, 250, 44, 112, 3, 255, 240 }) // PURGE both
        + "x" + bytes({ 255, 250, 44, 101, 0, 15, 66, 64, 255, 240 }) // 1000000
        + bytes({ 255, 250, 44, 102, 8, 255, 240, 255, 250, 44, 103, 1, 255, 240 }) // 8, none
        + bytes({ 255, 250, 44, 104, 2, 255, 240, 255, 250, 44, 105, 1, 255, 240 }) // 2, no flow
        + bytes({ 255, 250, 44, 105, 5, 255, 240, 255, 250, 44, 105, 8, 255, 240 }) // break, DTR
        + bytes({ 255, 250, 44, 105, 12, 255, 240 }) // RTS dropped
        + "y" + bytes({ 255, 250, 44, 107, 0xb0, 255, 240 }) // DCD, CTS, DSR
        + bytes({ 255, 250, 44, 101, 0, 1, 255, 255, 255, 255, 255, 240 }) + "z";
    for (size_t step = 1; step <= answers.size(); step++) {
        telnet_state t;
        std::string out, reply;
        telnet_start(&t, &out);
        EXPECT_EQ(t.modem, -1);
        ASSERT_EQ(feed(&t, answers, step, &reply), "xyz") << "pieces of " << step;
        EXPECT_EQ(reply, "");
        EXPECT_EQ(t.confirmed[TS_BAUD], 2);
        EXPECT_EQ(t.value[TS_BAUD], 0x01ffff);
        EXPECT_EQ(t.value[TS_DATASIZE], 8);
        EXPECT_EQ(t.value[TS_PARITY], TN_PARITY_NONE);
        EXPECT_EQ(t.value[TS_STOPSIZE], 2);
        EXPECT_EQ(t.value[TS_FLOW], TN_FLOW_NONE);
        EXPECT_EQ(t.value[TS_PURGE], 3);
        EXPECT_EQ(t.confirmed[TS_BREAK], 1);
        EXPECT_EQ(t.value[TS_DTR], 1);
        EXPECT_EQ(t.value[TS_RTS], 0);
        for (int s = TS_DATASIZE; s < TS_COUNT; s++) {
            EXPECT_EQ(t.confirmed[s], 1) << telnet_setting_name((tn_setting)s);
        }
        EXPECT_EQ(t.modem, TN_MODEM_DCD | TN_MODEM_CTS | TN_MODEM_DSR);
    }
}

TEST(Telnet, OddInputKeepsTheDataStream)
{
    telnet_state t;
    std::string out, reply;
    telnet_start(&t, &out);
    // An overlong subnegotiation (dropped whole, its length held in bounds),
    // a short one, one for another option, a bare command (NOP, GA), and one
    // cut off by a command: data goes on after each.
    std::string longer = bytes({ 255, 250, 44, 107 }) + std::string(300000, 'q');
    EXPECT_EQ(feed(&t, longer, 4096, &reply), "");
    EXPECT_LE(t.sb_len, (int)sizeof t.sb + 1);
    longer = bytes({ 255, 255 }) + std::string(300, 'q') + bytes({ 255, 240 });
    std::string in = longer + "1" + bytes({ 255, 250, 44, 101, 0, 255, 240 }) + "2"
        + bytes({ 255, 250, 24, 0, 255, 240 }) + "3" + bytes({ 255, 241, 255, 249 }) + "4"
        + bytes({ 255, 250, 44, 105, 255, 251, 1 }) + "5";
    EXPECT_EQ(feed(&t, in, 5, &reply), "12345");
    EXPECT_EQ(t.confirmed[TS_BAUD], 0); // too short to hold a rate
    EXPECT_EQ(t.modem, -1);
    EXPECT_EQ(reply, bytes({ 255, 254, 1 })); // the WILL ECHO that cut the last one
    EXPECT_STREQ(telnet_setting_name(TS_DTR), "DTR");
}
