// telnet.h - Telnet with the COM-PORT option, as the client of a network
// serial port: bytes from the server in, data and the server's answers out;
// settings in, bytes for the server out. No I/O.
#ifndef KESTREL_TELNET_H
#define KESTREL_TELNET_H

#include <string>

// The settings a client asks of the server, and which of them it confirmed.
enum tn_setting {
    TS_BAUD, // value: bits per second
    TS_DATASIZE, // 5 to 8
    TS_PARITY, // TN_PARITY_ codes
    TS_STOPSIZE, // 1, 2, or 3 for one and a half
    TS_FLOW, // TN_FLOW_ codes
    TS_PURGE, // 1 receive, 2 transmit, 3 both queues
    TS_BREAK, // 1 on, 0 off
    TS_DTR, // 1 raised, 0 dropped
    TS_RTS, // 1 raised, 0 dropped
    TS_COUNT
};
enum { TN_PARITY_NONE = 1, TN_PARITY_ODD, TN_PARITY_EVEN, TN_PARITY_MARK, TN_PARITY_SPACE };
enum { TN_FLOW_NONE = 1, TN_FLOW_XONXOFF, TN_FLOW_HARDWARE };
// NOTIFY-MODEMSTATE bits
enum { TN_MODEM_CTS = 0x10, TN_MODEM_DSR = 0x20, TN_MODEM_RI = 0x40, TN_MODEM_DCD = 0x80 };

struct telnet_state {
    int parse; // where the parser stands between two calls
    unsigned char verb; // WILL, WONT, DO or DONT awaiting its option
    unsigned char sb[64]; // a subnegotiation's bytes, IAC pairs undone
    int sb_len; // one past the buffer once it overflowed: the whole command is dropped
    unsigned char us[256], him[256]; // each option's state on our side and the server's
    // What came from the server:
    bool negotiated; // a WILL, WONT, DO or DONT for an option we offered
    int comport; // COM-PORT-OPTION: 0 not answered yet, 1 agreed, -1 refused
    int confirmed[TS_COUNT]; // confirmations of each setting so far
    long value[TS_COUNT]; // the value of the last one
    int modem; // the last NOTIFY-MODEMSTATE, -1 before the first
};

// A fresh session; out gets our offers (COM-PORT-OPTION, BINARY and
// SUPPRESS-GO-AHEAD both ways).
void telnet_start(telnet_state* t, std::string* out);
// Takes n bytes from the server: their data goes to data (at most n bytes;
// the count is returned), the answers that negotiation needs to reply.
int telnet_receive(
    telnet_state* t, const unsigned char* in, int n, unsigned char* data, std::string* reply);
// n data bytes for the server, each IAC doubled.
void telnet_escape(const unsigned char* in, int n, std::string* out);
// The request for one setting.
void telnet_setting(tn_setting s, long value, std::string* out);
// The setting's name in messages ("rate", "DTR", ...).
const char* telnet_setting_name(tn_setting s);

#endif
