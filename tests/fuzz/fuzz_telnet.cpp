// kestrel's Telnet codec on arbitrary bytes from a server. Two checks on
// each input:
// - the input itself, fed whole and then byte by byte: the codec's state
//   stays in bounds, its data and replies never outgrow the input, and the
//   way the bytes are cut into reads changes nothing;
// - a stream built from the input (data runs, negotiations, subnegotiations
//   long and short, bare and broken commands), fed in pieces the input
//   chooses: every data byte comes out once, in order, and nothing else.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/telnet.h"

static void check_bounds(const telnet_state* t)
{
    if (t->sb_len < 0 || t->sb_len > (int)sizeof t->sb + 1) abort();
    if (t->comport < -1 || t->comport > 1 || t->modem < -1 || t->modem > 255) abort();
}

// Feeds in, cut where cuts says (each byte of cuts is one read's length,
// 1 to 256); the data comes back, the replies in *reply.
static std::string feed(
    telnet_state* t, const std::string& in, const std::string& cuts, std::string* reply)
{
    std::string data;
    static unsigned char out[256];
    size_t at = 0, cut = 0;
    while (at < in.size()) {
        size_t n = cuts.empty() ? 1 : (size_t)(unsigned char)cuts[cut++ % cuts.size()] + 1;
        if (n > in.size() - at) n = in.size() - at;
        int got = telnet_receive(t, (const unsigned char*)in.data() + at, (int)n, out, reply);
        // A reply answers a command of its own length: never more than came.
        if (got < 0 || (size_t)got > n || reply->size() > at + n) abort();
        check_bounds(t);
        data.append((const char*)out, (size_t)got);
        at += n;
    }
    return data;
}

static bool same_state(const telnet_state* a, const telnet_state* b)
{
    return a->parse == b->parse && a->comport == b->comport && a->modem == b->modem
        && a->negotiated == b->negotiated && memcmp(a->us, b->us, sizeof a->us) == 0
        && memcmp(a->him, b->him, sizeof a->him) == 0
        && memcmp(a->confirmed, b->confirmed, sizeof a->confirmed) == 0;
}

static void raw_input(const std::string& in)
{
    telnet_state whole, bytewise;
    std::string offers, reply_whole, reply_bytewise;
    telnet_start(&whole, &offers);
    telnet_start(&bytewise, &offers);
    std::string data = feed(&whole, in, std::string(1, (char)255), &reply_whole);
    if (feed(&bytewise, in, "", &reply_bytewise) != data) abort();
    if (reply_whole != reply_bytewise || !same_state(&whole, &bytewise)) abort();
}

// Reads the fuzz input a byte at a time; zeros once it has run out.
struct reader {
    const uint8_t* p;
    size_t n;
};

static int next(reader* r)
{
    if (r->n == 0) return 0;
    r->n--;
    return *r->p++;
}

static void put(std::string* s, std::initializer_list<int> bytes)
{
    for (int b : bytes)
        s->push_back((char)b);
}

// One piece of the stream: what goes on the wire, and its data to *data.
static void piece(reader* r, std::string* wire, std::string* data)
{
    int kind = next(r) % 6;
    int len = next(r);
    switch (kind) {
    case 0: { // a run of data, 0xFF doubled
        std::string run;
        for (int i = 0; i < len; i++)
            run.push_back((char)next(r));
        *data += run;
        telnet_escape((const unsigned char*)run.data(), (int)run.size(), wire);
        return;
    }
    case 1: // WILL, WONT, DO or DONT some option
        put(wire, { 255, 251 + len % 4, next(r) });
        return;
    case 2: // a bare command: SE, NOP, DM, BRK, IP, AO, AYT, EC, EL, GA
        put(wire, { 255, 240 + len % 10 });
        return;
    case 3: // a subnegotiation, at times far too long for the codec
    case 4: { // ... or one cut off by a command
        std::string body;
        int size = kind == 3 && len > 200 ? len * 64 : len;
        body.push_back((char)(len % 2 ? 44 : next(r)));
        for (int i = 0; i < size; i++)
            body.push_back((char)next(r));
        put(wire, { 255, 250 });
        telnet_escape((const unsigned char*)body.data(), (int)body.size(), wire);
        if (kind == 3)
            put(wire, { 255, 240 });
        else
            put(wire, { 255, 251 + len % 4, next(r) });
        return;
    }
    default: { // a COM-PORT answer of the right shape
        const unsigned char body[]
            = { 44, (unsigned char)(100 + len % 13), (unsigned char)next(r) };
        put(wire, { 255, 250 });
        telnet_escape(body, 3, wire);
        put(wire, { 255, 240 });
        return;
    }
    }
}

static void built_stream(const uint8_t* bytes, size_t size)
{
    if (size < 2) return;
    // The first bytes say how the stream is cut into reads.
    size_t cut_bytes = bytes[0] % 8 + 1;
    if (cut_bytes > size) cut_bytes = size;
    std::string cuts((const char*)bytes, cut_bytes);
    reader r = { bytes + cut_bytes, size - cut_bytes };
    std::string wire, data, reply, offers;
    while (r.n > 0 && wire.size() < (1 << 20))
        piece(&r, &wire, &data);
    telnet_state t;
    telnet_start(&t, &offers);
    if (feed(&t, wire, cuts, &reply) != data) abort();
    if (t.parse != 0) abort(); // every command ended: the parser is back at its data state
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    raw_input(std::string((const char*)data, size));
    built_stream(data, size);
    return 0;
}
