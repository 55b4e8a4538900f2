// telnet.cpp - the client side of Telnet (RFC 854) with BINARY (RFC 856),
// SUPPRESS-GO-AHEAD (RFC 858) and COM-PORT-OPTION (RFC 2217). Bytes in,
// data, answers and replies out: no I/O here, so a command split across
// two reads is simply a parser state kept between calls.
#include "net/telnet.h"
#include <cstring>

enum {
    SE = 240,
    SB = 250,
    WILL = 251,
    WONT = 252,
    DO = 253,
    DONT = 254,
    IAC = 255,
    OPT_BINARY = 0,
    OPT_SGA = 3,
    OPT_COMPORT = 44,
    SERVER_REPLY = 100, // the server answers a command with its number plus 100
};
enum { P_DATA, P_IAC, P_VERB, P_SB, P_SB_IAC }; // parser states
// An option's state on one side. REFUSED is NO after we said so: a request
// for it again changes nothing and is not answered.
enum { NO = 0, YES, ASKED, REFUSED };

// COM-PORT-OPTION command numbers, as the client sends them.
enum {
    CPO_SET_BAUDRATE = 1,
    CPO_SET_DATASIZE = 2,
    CPO_SET_PARITY = 3,
    CPO_SET_STOPSIZE = 4,
    CPO_SET_CONTROL = 5,
    CPO_NOTIFY_MODEMSTATE = 7,
    CPO_PURGE_DATA = 12,
};

static void put_command(std::string* out, unsigned char verb, unsigned char option)
{
    out->push_back((char)IAC);
    out->push_back((char)verb);
    out->push_back((char)option);
}

// The options we take, each way: BINARY and SUPPRESS-GO-AHEAD on both sides,
// COM-PORT-OPTION on ours (the client's). Every other one is refused.
static bool ours_wanted(int option)
{
    return option == OPT_BINARY || option == OPT_SGA || option == OPT_COMPORT;
}

static bool his_wanted(int option)
{
    return option == OPT_BINARY || option == OPT_SGA;
}

void telnet_start(telnet_state* t, std::string* out)
{
    memset(t, 0, sizeof *t);
    t->modem = -1;
    for (int option : { OPT_COMPORT, OPT_BINARY, OPT_SGA }) {
        t->us[option] = ASKED;
        put_command(out, WILL, option);
    }
    for (int option : { OPT_BINARY, OPT_SGA }) {
        t->him[option] = ASKED;
        put_command(out, DO, option);
    }
}

// WILL/WONT speak of the server's side, DO/DONT of ours. Only a request that
// changes an option's state is answered: an answer to our own request needs
// no reply, an option we never take is refused once, and a request for a
// state that already holds is no news (no loops, no reply per request).
static void negotiate(telnet_state* t, unsigned char verb, unsigned char option, std::string* reply)
{
    bool his = verb == WILL || verb == WONT;
    bool enable = verb == WILL || verb == DO;
    unsigned char* state = his ? &t->him[option] : &t->us[option];
    bool wanted = his ? his_wanted(option) : ours_wanted(option);
    if (wanted) t->negotiated = true;
    if (enable && wanted) {
        if (*state == NO) put_command(reply, his ? DO : WILL, option);
        *state = YES;
    } else if (enable) {
        if (*state != REFUSED) put_command(reply, his ? DONT : WONT, option);
        *state = REFUSED;
    } else if (*state == YES || *state == ASKED) {
        if (*state == YES) put_command(reply, his ? DONT : WONT, option);
        *state = NO;
    }
    if (!his && option == OPT_COMPORT) t->comport = t->us[option] == YES ? 1 : -1;
}

static long big_endian(const unsigned char* p, int n)
{
    unsigned long v = 0;
    for (int i = 0; i < n; i++)
        v = v << 8 | p[i];
    return (long)v;
}

// SET-CONTROL answers four settings, by the range of the value.
static void control_answer(telnet_state* t, int value)
{
    tn_setting s;
    int v;
    if (value >= 0 && value <= 3) { // 0 is the query
        s = TS_FLOW;
        v = value;
    } else if (value >= 4 && value <= 6) {
        s = TS_BREAK;
        v = value == 5;
    } else if (value >= 7 && value <= 9) {
        s = TS_DTR;
        v = value == 8;
    } else if (value >= 10 && value <= 12) {
        s = TS_RTS;
        v = value == 11;
    } else {
        return; // inbound flow control, which we never ask for
    }
    t->confirmed[s]++;
    t->value[s] = v;
}

// One whole COM-PORT-OPTION subnegotiation from the server: its answers to
// our settings and its notices. Anything else is ignored.
static void subnegotiation(telnet_state* t)
{
    if (t->sb_len < 3 || t->sb_len > (int)sizeof t->sb || t->sb[0] != OPT_COMPORT) return;
    int command = t->sb[1] - SERVER_REPLY;
    const unsigned char* v = t->sb + 2;
    int len = t->sb_len - 2;
    tn_setting s;
    switch (command) {
    case CPO_SET_BAUDRATE:
        if (len < 4) return;
        t->confirmed[TS_BAUD]++;
        t->value[TS_BAUD] = big_endian(v, 4);
        return;
    case CPO_SET_CONTROL:
        control_answer(t, v[0]);
        return;
    case CPO_NOTIFY_MODEMSTATE:
        t->modem = v[0];
        return;
    case CPO_SET_DATASIZE:
        s = TS_DATASIZE;
        break;
    case CPO_SET_PARITY:
        s = TS_PARITY;
        break;
    case CPO_SET_STOPSIZE:
        s = TS_STOPSIZE;
        break;
    case CPO_PURGE_DATA:
        s = TS_PURGE;
        break;
    default:
        return;
    }
    t->confirmed[s]++;
    t->value[s] = v[0];
}

// A subnegotiation longer than the buffer is no answer of ours: its bytes
// are counted no further, and the parser still looks for its IAC SE.
static void sb_byte(telnet_state* t, unsigned char c)
{
    if (t->sb_len < (int)sizeof t->sb) t->sb[t->sb_len] = c;
    if (t->sb_len <= (int)sizeof t->sb) t->sb_len++;
}

int telnet_receive(
    telnet_state* t, const unsigned char* in, int n, unsigned char* data, std::string* reply)
{
    int len = 0;
    for (int i = 0; i < n; i++) {
        if (t->parse == P_DATA) { // the run of data up to the next IAC, at once
            const unsigned char* iac = (const unsigned char*)memchr(in + i, IAC, (size_t)(n - i));
            int run = iac ? (int)(iac - (in + i)) : n - i;
            memcpy(data + len, in + i, (size_t)run);
            len += run;
            i += run;
            if (i == n) break;
        }
        unsigned char c = in[i];
        switch (t->parse) {
        case P_DATA:
            if (c == IAC)
                t->parse = P_IAC;
            else
                data[len++] = c;
            break;
        case P_IAC:
            t->parse = P_DATA;
            if (c == IAC) {
                data[len++] = c;
                break;
            }
            if (c >= WILL) {
                t->verb = c;
                t->parse = P_VERB;
            } else if (c == SB) {
                t->sb_len = 0;
                t->parse = P_SB;
            } // other commands (NOP, GA, ...) carry nothing for us
            break;
        case P_VERB:
            negotiate(t, t->verb, c, reply);
            t->parse = P_DATA;
            break;
        case P_SB:
            if (c == IAC)
                t->parse = P_SB_IAC;
            else
                sb_byte(t, c);
            break;
        case P_SB_IAC:
            if (c == IAC) {
                sb_byte(t, c);
                t->parse = P_SB;
            } else if (c == SE) {
                subnegotiation(t);
                t->parse = P_DATA;
            } else { // a broken subnegotiation: drop it, take the command
                t->parse = P_IAC;
                i--;
            }
            break;
        }
    }
    return len;
}

void telnet_escape(const unsigned char* in, int n, std::string* out)
{
    const unsigned char* end = in + n;
    while (in < end) {
        const unsigned char* iac = (const unsigned char*)memchr(in, IAC, (size_t)(end - in));
        const unsigned char* stop = iac ? iac + 1 : end;
        out->append((const char*)in, (size_t)(stop - in));
        if (iac) out->push_back((char)IAC);
        in = stop;
    }
}

// IAC SB COM-PORT-OPTION command value... IAC SE, IAC doubled in the value.
static void put_request(std::string* out, int command, const unsigned char* value, int n)
{
    const unsigned char head[] = { IAC, SB, OPT_COMPORT, (unsigned char)command };
    out->append((const char*)head, sizeof head);
    telnet_escape(value, n, out);
    out->push_back((char)IAC);
    out->push_back((char)SE);
}

void telnet_setting(tn_setting s, long value, std::string* out)
{
    unsigned char v = (unsigned char)value;
    switch (s) {
    case TS_BAUD: {
        unsigned long b = (unsigned long)value;
        const unsigned char rate[4] = { (unsigned char)(b >> 24), (unsigned char)(b >> 16),
            (unsigned char)(b >> 8), (unsigned char)b };
        put_request(out, CPO_SET_BAUDRATE, rate, 4);
        return;
    }
    case TS_DATASIZE:
        put_request(out, CPO_SET_DATASIZE, &v, 1);
        return;
    case TS_PARITY:
        put_request(out, CPO_SET_PARITY, &v, 1);
        return;
    case TS_STOPSIZE:
        put_request(out, CPO_SET_STOPSIZE, &v, 1);
        return;
    case TS_PURGE:
        put_request(out, CPO_PURGE_DATA, &v, 1);
        return;
    case TS_FLOW:
        break;
    case TS_BREAK:
        v = value ? 5 : 6;
        break;
    case TS_DTR:
        v = value ? 8 : 9;
        break;
    case TS_RTS:
        v = value ? 11 : 12;
        break;
    case TS_COUNT:
        return;
    }
    put_request(out, CPO_SET_CONTROL, &v, 1);
}

const char* telnet_setting_name(tn_setting s)
{
    static const char* const names[TS_COUNT] = { "rate", "data size", "parity", "stop bits",
        "flow control", "purge", "break", "DTR", "RTS" };
    return s >= 0 && s < TS_COUNT ? names[s] : "?";
}
