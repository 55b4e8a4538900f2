// test_xmodem.cpp - the XMODEM/YMODEM codec: our sender against our
// receiver through a relay that can corrupt, drop and cancel, on a clock of
// the test's own; golden bytes; the receiver's checks.
#include "codec/xmodem.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

static std::string pattern(size_t n, int seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)((i * 7 + seed + i / 251) & 0xff);
    return s;
}

// What the relay does to the line: the sender's block number `corrupt`
// (counting every block sent, resends too) gets a bit flipped; the ACK
// number `drop_ack` of those that answer a block vanishes; 'C's from the receiver vanish
// (a sender that knows only the checksum); one side aborts after a number
// of XE_READ/XE_DATA events.
struct relay {
    int corrupt = -1;
    int corrupt_every = 0; // every block from `corrupt` on
    int drop_ack = -1;
    bool drop_c = false;
    int sender_abort_after = -1, receiver_abort_after = -1;
    // The sender's block number `cancel_block` is cut after `cancel_at` bytes
    // by its cancel as lrzsz sends it (ten CANs, ten backspaces); it says no more.
    int cancel_block = -1, cancel_at = 0;
};

struct outcome {
    bool sender_ok = false, receiver_ok = false;
    std::string sender_reason, receiver_reason;
    std::vector<std::string> names, got;
    std::vector<long long> sizes, mtimes;
    int sender_retries = 0, receiver_retries = 0;
    long long sender_total = 0, elapsed = 0;
    std::string sender_tail; // the sender's last bytes on the line
};

static void sender_events(xm_state* s, const std::vector<std::string>& data, int* reads,
    const relay& r, long long now, std::string* out, outcome* o)
{
    xm_event ev;
    while (xm_next_event(s, &ev)) {
        if (ev.kind == XE_READ) {
            if (r.sender_abort_after >= 0 && (*reads)++ == r.sender_abort_after) {
                xm_abort(s, "aborted with Ctrl-A", out);
                continue;
            }
            const std::string& d = data[(size_t)ev.file];
            ASSERT_LE(ev.offset + ev.len, (long long)d.size());
            xm_give(s, (const unsigned char*)d.data() + ev.offset, ev.len, now, out);
        } else if (ev.kind == XE_DONE || ev.kind == XE_FAILED) {
            o->sender_ok = ev.kind == XE_DONE;
            o->sender_reason = ev.reason;
        }
    }
}

static void receiver_events(xm_state* x, int* writes, const relay& r, std::string* out, outcome* o)
{
    xm_event ev;
    while (xm_next_event(x, &ev)) {
        if (ev.kind == XE_FILE_START) {
            o->names.push_back(ev.name);
            o->sizes.push_back(ev.size);
            o->mtimes.push_back(ev.mtime);
            o->got.emplace_back();
        } else if (ev.kind == XE_DATA) {
            ASSERT_EQ(ev.file + 1, (int)o->got.size());
            ASSERT_EQ(ev.offset, (long long)o->got.back().size());
            o->got.back().append((const char*)ev.data, (size_t)ev.len);
            if (r.receiver_abort_after >= 0 && (*writes)++ == r.receiver_abort_after)
                xm_abort(x, "aborted with Ctrl-A", out);
        } else if (ev.kind == XE_DONE || ev.kind == XE_FAILED) {
            o->receiver_ok = ev.kind == XE_DONE;
            o->receiver_reason = ev.reason;
        }
    }
}

// Feeds all of `bytes` to x, handling events between the pieces.
template <class Handle>
static void feed(
    xm_state* x, const std::string& bytes, long long now, std::string* out, Handle handle)
{
    size_t at = 0;
    do {
        at += (size_t)xm_input(
            x, (const unsigned char*)bytes.data() + at, (int)(bytes.size() - at), now, out);
        handle();
    } while (at < bytes.size());
}

static outcome transfer(xm_protocol send_p, xm_protocol recv_p, const std::vector<xm_file>& files,
    const std::vector<std::string>& data, const relay& r)
{
    outcome o;
    xm_state s, x;
    std::string to_recv, to_send;
    long long now = 1000000;
    const long long began = now;
    int reads = 0, writes = 0, blocks = 0, acks = 0;
    bool block_sent = false; // the sender's last bytes were a block
    xm_send_start(&s, send_p, files, now);
    xm_recv_start(&x, recv_p, now, &to_send);
    for (int steps = 0; steps < 1000000 && !(xm_finished(&s) && xm_finished(&x)); steps++) {
        if (to_send.empty() && to_recv.empty()) {
            long long d1 = xm_deadline(&s), d2 = xm_deadline(&x);
            long long next = d1 < 0 ? d2 : d2 < 0 ? d1 : std::min(d1, d2);
            if (next < 0) break;
            now = std::max(now, next);
            xm_poll(&s, now, &to_recv);
            xm_poll(&x, now, &to_send);
            sender_events(&s, data, &reads, r, now, &to_recv, &o);
            receiver_events(&x, &writes, r, &to_send, &o);
            continue;
        }
        now += 5; // the line's delay
        std::string for_sender;
        for (char c : to_send) {
            if (c == 0x06 && block_sent && acks++ == r.drop_ack) continue;
            if (c == 'C' && r.drop_c) continue;
            for_sender += c;
        }
        to_send.clear();
        std::string for_receiver = to_recv;
        to_recv.clear();
        if (for_receiver.size() > 100) {
            int n = blocks++;
            if (n == r.corrupt || (r.corrupt_every && r.corrupt >= 0 && n >= r.corrupt))
                for_receiver[for_receiver.size() / 2] ^= 0x10;
            if (n == r.cancel_block) {
                for_receiver.replace((size_t)r.cancel_at, std::string::npos,
                    std::string(10, '\x18') + std::string(10, '\x08'));
                std::string unsent;
                xm_abort(&s, "aborted with Ctrl-A", &unsent);
                sender_events(&s, data, &reads, r, now, &unsent, &o);
            }
        }
        if (!for_receiver.empty()) {
            o.sender_tail = for_receiver;
            block_sent = for_receiver.size() > 100;
        }
        feed(&s, for_sender, now, &to_recv,
            [&] { sender_events(&s, data, &reads, r, now, &to_recv, &o); });
        feed(&x, for_receiver, now, &to_send,
            [&] { receiver_events(&x, &writes, r, &to_send, &o); });
    }
    o.sender_retries = s.retries;
    o.receiver_retries = x.retries;
    o.sender_total = s.total;
    o.elapsed = now - began;
    return o;
}

TEST(Xmodem, Crc16CheckValue)
{
    EXPECT_EQ(xm_crc16((const unsigned char*)"123456789", 9, 0), 0x31c3u);
    // Continued in two pieces, the same.
    EXPECT_EQ(
        xm_crc16((const unsigned char*)"6789", 4, xm_crc16((const unsigned char*)"12345", 5, 0)),
        0x31c3u);
}

// The sender's first block on the line, after the receiver's first request.
static std::string first_block(xm_protocol p, char request, const xm_file& f, const std::string& d)
{
    xm_state s;
    std::string out;
    xm_send_start(&s, p, { f }, 0);
    unsigned char c = (unsigned char)request;
    xm_input(&s, &c, 1, 1, &out);
    xm_event ev;
    while (xm_next_event(&s, &ev))
        if (ev.kind == XE_READ) xm_give(&s, (const unsigned char*)d.data(), ev.len, 1, &out);
    return out;
}

TEST(Xmodem, GoldenFirstBlocks)
{
    std::string block0 = first_block(XM_YMODEM, 'C', { "out/dir\\fw.bin", 1234, 01234567 }, "");
    std::string body = std::string("fw.bin\0"
                                   "1234 1234567",
                           19)
        + std::string(128 - 19, '\0');
    unsigned crc = xm_crc16((const unsigned char*)body.data(), 128, 0);
    EXPECT_EQ(
        block0, std::string("\x01\x00\xff", 3) + body + (char)(crc >> 8) + (char)(crc & 0xff));

    // XMODEM with the checksum: one byte 'A' and 127 pads; 0x41 + 127 * 0x1a = 0xd27.
    std::string sum = first_block(XM_XMODEM, 0x15, { "a", 1, 0 }, "A");
    EXPECT_EQ(sum,
        std::string("\x01\x01\xfe"
                    "A",
            4)
            + std::string(127, '\x1a') + "\x27");

    // XMODEM-1K with CRC: a full 1K block, then the tail in a 128-byte one.
    std::string d = pattern(1025, 3);
    std::string k = first_block(XM_XMODEM_1K, 'C', { "k", 1025, 0 }, d);
    crc = xm_crc16((const unsigned char*)d.data(), 1024, 0);
    EXPECT_EQ(k, "\x02\x01\xfe" + d.substr(0, 1024) + (char)(crc >> 8) + (char)(crc & 0xff));
}

static std::string padded(const std::string& d)
{
    return d + std::string((128 - d.size() % 128) % 128, '\x1a');
}

TEST(Xmodem, EveryVariantAndSizeThroughTheRelay)
{
    struct variant {
        const char* what;
        xm_protocol send, recv;
        relay r;
    };
    relay no_crc;
    no_crc.drop_c = true;
    relay corrupt_and_drop;
    corrupt_and_drop.corrupt = 1;
    corrupt_and_drop.drop_ack = 2;
    const variant variants[] = {
        { "xmodem checksum", XM_XMODEM, XM_XMODEM, no_crc },
        { "xmodem crc", XM_XMODEM, XM_XMODEM, relay {} },
        { "xmodem-1k", XM_XMODEM_1K, XM_XMODEM, relay {} },
        { "xmodem-1k asked for the checksum", XM_XMODEM_1K, XM_XMODEM, no_crc },
        { "xmodem crc, a bad block and a lost ACK", XM_XMODEM, XM_XMODEM, corrupt_and_drop },
        { "ymodem", XM_YMODEM, XM_YMODEM, relay {} },
        { "ymodem, a bad block and a lost ACK", XM_YMODEM, XM_YMODEM, corrupt_and_drop },
    };
    const size_t sizes[] = { 0, 1, 127, 128, 129, 1023, 1024, 1025, 1048577 };
    for (const variant& v : variants) {
        for (size_t size : sizes) {
            SCOPED_TRACE(std::string(v.what) + ", " + std::to_string(size) + " bytes");
            std::string d = pattern(size, (int)size);
            outcome o = transfer(
                v.send, v.recv, { { "f.bin", (long long)size, 1700000000 } }, { d }, v.r);
            ASSERT_TRUE(o.sender_ok) << o.sender_reason;
            ASSERT_TRUE(o.receiver_ok) << o.receiver_reason;
            ASSERT_EQ(o.got.size(), 1u);
            EXPECT_EQ(o.sender_total, (long long)size);
            bool faulty = v.r.corrupt >= 0 && size > 1024;
            if (v.recv == XM_YMODEM) {
                EXPECT_TRUE(o.got[0] == d); // the padding cut off by the size in block 0
                EXPECT_EQ(o.names[0], "f.bin");
                EXPECT_EQ(o.sizes[0], (long long)size);
                EXPECT_EQ(o.mtimes[0], 1700000000);
            } else {
                EXPECT_TRUE(o.got[0] == padded(d)); // XMODEM tells no size: the padding stays
                EXPECT_EQ(o.sizes[0], -1);
            }
            if (faulty) {
                EXPECT_GE(o.sender_retries, 2);
            }
        }
    }
}

TEST(Xmodem, YmodemBatchOfSeveralFiles)
{
    std::vector<xm_file> files
        = { { "a/one.bin", 0, 0 }, { "two", 1025, 0700 }, { "c:\\three", 70000, 1 } };
    std::vector<std::string> data = { "", pattern(1025, 1), pattern(70000, 2) };
    relay lost_eot_ack;
    lost_eot_ack.drop_ack = 3; // block 0, two data blocks ... then the second file's EOT
    for (const relay& r : { relay {}, lost_eot_ack }) {
        outcome o = transfer(XM_YMODEM, XM_YMODEM, files, data, r);
        ASSERT_TRUE(o.sender_ok) << o.sender_reason;
        ASSERT_TRUE(o.receiver_ok) << o.receiver_reason;
        EXPECT_EQ(o.names, (std::vector<std::string> { "one.bin", "two", "three" }));
        EXPECT_EQ(o.mtimes, (std::vector<long long> { 0, 0700, 1 }));
        EXPECT_EQ(o.got, data);
    }
}

TEST(Xmodem, FailuresSayWhy)
{
    struct failure {
        const char* what;
        xm_protocol send, recv;
        relay r;
        const char *sender_reason, *receiver_reason;
    };
    relay sender_aborts, receiver_aborts, always_bad, checksum_only, cancel_inside, cancel_across;
    sender_aborts.sender_abort_after = 3;
    receiver_aborts.receiver_abort_after = 2;
    always_bad.corrupt = 4;
    always_bad.corrupt_every = 1;
    checksum_only.drop_c = true;
    cancel_inside.cancel_block = cancel_across.cancel_block = 3;
    cancel_inside.cancel_at = 500;
    cancel_across.cancel_at = 1029 - 4; // four CANs end the block, the rest follow it
    const failure failures[] = {
        { "the sender aborts", XM_XMODEM, XM_XMODEM, sender_aborts, "aborted with Ctrl-A",
            "cancelled by the sender" },
        { "the receiver aborts", XM_YMODEM, XM_YMODEM, receiver_aborts, "cancelled by the receiver",
            "aborted with Ctrl-A" },
        { "block 5 never gets through", XM_XMODEM_1K, XM_XMODEM, always_bad,
            "cancelled by the receiver", "10 retries on block 5" },
        { "YMODEM to an XMODEM receiver", XM_YMODEM, XM_XMODEM, relay {},
            "cancelled by the receiver", "the sender uses YMODEM, not XMODEM" },
        { "XMODEM to a YMODEM receiver", XM_XMODEM, XM_YMODEM, relay {},
            "cancelled by the receiver", "the sender uses XMODEM, not YMODEM" },
        { "YMODEM to a checksum receiver", XM_YMODEM, XM_XMODEM, checksum_only,
            "the receiver asks for XMODEM with the checksum, not YMODEM", "no answer within 60 s" },
        { "the sender cancels inside a block", XM_XMODEM_1K, XM_XMODEM, cancel_inside,
            "aborted with Ctrl-A", "cancelled by the sender" },
        { "the sender's cancel ends a block", XM_YMODEM, XM_YMODEM, cancel_across,
            "aborted with Ctrl-A", "cancelled by the sender" },
    };
    std::string d = pattern(20000, 9);
    for (const failure& f : failures) {
        SCOPED_TRACE(f.what);
        outcome o = transfer(f.send, f.recv, { { "f", 20000, 0 } }, { d }, f.r);
        EXPECT_FALSE(o.sender_ok);
        EXPECT_FALSE(o.receiver_ok);
        EXPECT_EQ(o.sender_reason, f.sender_reason);
        EXPECT_EQ(o.receiver_reason, f.receiver_reason);
        EXPECT_LE(o.elapsed, 130000);
    }
    // An abort's bytes: CANs, then backspaces that wipe them off a command line.
    outcome o = transfer(XM_XMODEM, XM_XMODEM, { { "f", 20000, 0 } }, { d }, sender_aborts);
    EXPECT_EQ(o.sender_tail, std::string(8, '\x18') + std::string(8, '\x08'));
}

// The receiver alone on a silent line: 'C' three times 3 s apart, then NAK
// every 10 s, and the end after 60 s; the sender alone waits 60 s.
TEST(Xmodem, SilentPeers)
{
    struct silent {
        xm_protocol p;
        const char* requests;
    };
    for (const silent& t : { silent { XM_XMODEM, "CCC\x15\x15\x15\x15\x15" },
             silent { XM_YMODEM, "CCCCCCCCCCCCCCCCCCCC" } }) {
        xm_state x;
        std::string out;
        std::vector<long long> times;
        xm_recv_start(&x, t.p, 0, &out);
        while (!xm_finished(&x)) {
            times.push_back(xm_deadline(&x));
            xm_poll(&x, xm_deadline(&x), &out);
        }
        EXPECT_EQ(out.substr(0, strlen(t.requests)), t.requests);
        EXPECT_EQ(x.reason, "no answer within 60 s");
        EXPECT_EQ(times.back(), 60000);
        if (t.p == XM_XMODEM) {
            EXPECT_EQ(times,
                (std::vector<long long> {
                    3000, 6000, 9000, 19000, 29000, 39000, 49000, 59000, 60000 }));
        }
    }
    xm_state s;
    std::string out;
    xm_send_start(&s, XM_XMODEM, { { "f", 1, 0 } }, 0);
    unsigned char noise[] = { 'x', 0x18, 'y', 0x06 }; // a lone CAN is not a cancel
    EXPECT_EQ(xm_input(&s, noise, 4, 10, &out), 4);
    xm_poll(&s, xm_deadline(&s), &out);
    EXPECT_EQ(xm_deadline(&s), -1);
    EXPECT_EQ(s.reason, "no answer within 60 s");
}

// Block 0 names: cut to the last component, and refused when what is left
// could reach outside the folder or is no plain name.
TEST(Xmodem, BlockZeroNames)
{
    struct name_case {
        const char* sent;
        const char* name; // nullptr: refused
    };
    const name_case cases[] = { { "fw.bin", "fw.bin" }, { "../../etc/passwd", "passwd" },
        { "C:\\boot\\u-boot.img", "u-boot.img" }, { "dir/", nullptr }, { "..", nullptr },
        { "a/..", nullptr }, { ".", nullptr }, { "a\x01z", nullptr }, { "a\x7fz", nullptr },
        { "C:fw.bin", nullptr }, { "with space", "with space" } };
    for (const name_case& c : cases) {
        std::string name;
        bool ok = xm_safe_name(c.sent, &name);
        EXPECT_EQ(ok, c.name != nullptr) << c.sent;
        if (c.name) {
            EXPECT_EQ(name, c.name) << c.sent;
        }
    }
    // On the line: the receiver cancels at an unsafe name.
    outcome o = transfer(XM_YMODEM, XM_YMODEM, { { "x/..", 1, 0 } }, { "z" }, relay {});
    EXPECT_EQ(o.receiver_reason, "unsafe file name in block 0: \"..\"");
    EXPECT_EQ(o.sender_reason, "cancelled by the receiver");
}
