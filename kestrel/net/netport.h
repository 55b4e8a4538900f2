// netport.h - a serial port served over the network, rfc2217://HOST:PORT
// (Telnet with COM-PORT-OPTION) or tcp://HOST:PORT (raw bytes), behind the
// same operations as a local port. It reads no options, keys or console:
// the channel hands it its settings and hears its warnings.
#ifndef KESTREL_NETPORT_H
#define KESTREL_NETPORT_H

#include "line_types.h"

struct net_url {
    bool rfc2217; // else raw TCP
    char host[256]; // a name or an address, IPv6 without its brackets
    int port;
};
// From net_parse_url: NET_URL when text is a network URL, now in *u;
// NET_BAD_URL when it is one, but bad (why says how); NET_NOT_URL for no URL
// at all (no "://").
enum { NET_URL = 1, NET_NOT_URL = 0, NET_BAD_URL = -1 };
int net_parse_url(const char* text, net_url* u, const char** why);

// What the open needs from the caller.
struct net_settings {
    const char* label; // the port as the user named it, for warnings
    int baud;
    line_format format; // the framing and flow control to set
    bool line_options; // -b, -m, -f or -r given: a raw TCP port warns it has no line
    bool show_server_text; // -w: a server's refusal is shown each time it changes
    bool (*stop)(void); // asked between short waits: true ends the open (Ctrl-A)
    void (*warning)(const char* text); // one warning line, "<label> <what>"
    void (*server_says)(const char* text); // the server's own words
};
// From net_open: open, failed with the reason in why, or stopped by the caller.
enum { NET_OPEN = 0, NET_FAILED = -1, NET_STOPPED = -2 };
// Connects and sets the remote port as s asks.
int net_open(const net_url* u, const net_settings* s, char* why, int size);
int net_queue(void); // data waiting; -1 once closed and read to the end
int net_read(unsigned char* buf, int n);
int net_write(const unsigned char* buf, int n); // takes 0..n now, never waits; -1 closed
bool net_pending(void); // output taken and not yet sent
int net_hung_up(void);
int net_rate(int* baud);
int net_format(line_format* fmt); // as the server confirmed it; -1 when it did not
void net_close(void);
void net_forget_warnings(void);
int net_set_dtr(int on); // 0, or -1 when the port has no modem lines
int net_set_rts(int on);
int net_set_break(int on);
int net_lines(modem_state* m);

#endif
