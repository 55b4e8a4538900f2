// netport.cpp - a serial port served over the network: rfc2217:// speaks
// Telnet with COM-PORT-OPTION to set the remote port, tcp:// is a raw byte
// stream. The channel (serial.cpp) reaches it through the same operations as
// a local port; the Telnet is the codec's (telnet.cpp), the socket the
// platform's.
#include "net/netport.h"
#include "net/telnet.h"
#include "platform/platform.h"
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static const long CONNECT_MS = 5000; // for the connect
static const long OPTION_MS = 3000; // for the answer to COM-PORT-OPTION
static const long SETTING_MS = 1000; // for each further confirmation of a setting
static const long CLOSE_MS = 200; // for what waits to be sent at the close
static const int STEP_MS = 50; // keys are looked at between waits this long
static const int WRITE_CHUNK = 65536; // data bytes one write offers at most
static const size_t HOLD_MAX = 1 << 20; // data the open holds for the session, at most
static const size_t TX_MAX = 65536; // bytes that may wait to be sent
static const int RX_BLOCK = 65536; // most bytes one read takes from the socket

static bool telnet; // the stream carries Telnet: rfc2217 with a server that speaks it
static telnet_state tn;
static unsigned char rx[RX_BLOCK]; // data received and not yet read
static int rx_at, rx_len; // where it starts, and how much
static unsigned char raw[RX_BLOCK];
static std::string tx; // bytes for the socket, Telnet already applied
static bool closed; // the far end closed, or the connection broke
static bool eof; // the socket's reads have come to their end
static int dtr_on, rts_on; // the lines as we last set them
static bool warned[TS_COUNT + 2]; // each warning once a connection (COM-PORT, raw TCP)
static const int WARN_COMPORT = TS_COUNT, WARN_RAW = TS_COUNT + 1;

// While the open waits for the server, all the socket holds is read: an
// answer may follow any amount of data. The data is held for the session
// (the newest HOLD_MAX bytes of it). Until the server has negotiated, its
// bytes are kept as they came too, and the codec's replies wait: a server
// that never negotiates is a raw stream from its first byte.
static bool opening;
static bool undecided; // no negotiation from the server yet
static std::string held; // data for the session, read before rx
static size_t held_at;
static std::string wire; // the bytes as they came, while undecided
static std::string replies; // the codec's replies, while undecided
static net_settings opened; // what the last open was asked for
static bool flooded; // the server let our replies pile up: its fault
static const char FLOODED[] = "keeps sending requests and reads none of the answers";
static char server_said[128]; // the server's text last shown while -w waits

// Names the character that does not belong: NET_BAD_URL with *why set.
static int url_error(const char** why, char c, const char* where)
{
    static char text[64];
    if (c == ' ' || c == '\t')
        snprintf(text, sizeof text, "unexpected blank %s", where);
    else if (isprint((unsigned char)c))
        snprintf(text, sizeof text, "unexpected \"%c\" %s", c, where);
    else
        snprintf(text, sizeof text, "unexpected byte 0x%02x %s", (unsigned char)c, where);
    *why = text;
    return NET_BAD_URL;
}

int net_parse_url(const char* text, net_url* u, const char** why)
{
    while (*text == ' ' || *text == '\t')
        text++;
    const char* rest = strstr(text, "://");
    if (!rest) return NET_NOT_URL;
    size_t scheme = (size_t)(rest - text);
    *why = "unknown scheme (rfc2217:// or tcp://)";
    if (scheme == 7 && strncasecmp(text, "rfc2217", 7) == 0)
        u->rfc2217 = true;
    else if (scheme == 3 && strncasecmp(text, "tcp", 3) == 0)
        u->rfc2217 = false;
    else
        return NET_BAD_URL;
    rest += 3;
    const char* colon; // before the port
    const char* host = rest;
    size_t host_len;
    if (*rest == '[') { // [IPv6]
        const char* close = strchr(rest, ']');
        *why = "no closing ] after the IPv6 address";
        if (!close) return NET_BAD_URL;
        host = rest + 1;
        host_len = (size_t)(close - host);
        colon = close + 1;
    } else {
        colon = strrchr(rest, ':');
        host_len = colon ? (size_t)(colon - rest) : strlen(rest);
    }
    *why = "no host";
    if (host_len == 0) return NET_BAD_URL;
    size_t clean = strcspn(host, "/?#@ \t");
    if (clean < host_len) return url_error(why, host[clean], "in the host name");
    *why = "host name too long";
    if (host_len >= sizeof u->host) return NET_BAD_URL;
    memcpy(u->host, host, host_len);
    u->host[host_len] = 0;
    *why = "no port number";
    if (!colon || *colon != ':' || !isdigit((unsigned char)colon[1])) return NET_BAD_URL;
    const char* digits = colon + 1;
    size_t n = strspn(digits, "0123456789");
    if (digits[n]) return url_error(why, digits[n], "after the port");
    *why = "port number with a leading 0";
    if (n > 1 && digits[0] == '0') return NET_BAD_URL;
    *why = "port number out of range (1 to 65535)";
    u->port = n > 5 ? 0 : atoi(digits);
    if (u->port < 1 || u->port > 65535) return NET_BAD_URL;
    return NET_URL;
}

// Sends what the socket takes now; the rest waits for the next call.
static void send_pending(void)
{
    if (tx.empty() || closed) return;
    int r = plat_net_write((const unsigned char*)tx.data(), (int)tx.size());
    if (r < 0) {
        closed = true;
        tx.clear();
    } else if (r > 0) {
        tx.erase(0, (size_t)r);
    }
}

// Bytes for the server. A server that lets them pile up past TX_MAX asks
// and asks and reads nothing: the connection ends there, as a hang-up.
static void queue_for_server(const std::string& bytes)
{
    if (closed) return;
    tx += bytes;
    send_pending();
    if (tx.size() <= TX_MAX) return;
    flooded = closed = eof = true;
    tx.clear();
    if (opening) return; // the open's failure says why
    opened.warning((std::string(opened.label) + " " + FLOODED + ": connection closed").c_str());
}

static void forget(std::string* s)
{
    std::string().swap(*s);
}

static size_t held_left(void)
{
    return held.size() - held_at;
}

static void hold(const unsigned char* data, size_t n)
{
    held.append((const char*)data, n);
    if (held.size() > HOLD_MAX) held.erase(0, held.size() - HOLD_MAX);
}

// The server never negotiated: what it sent is data, as it came.
static void take_as_raw(void)
{
    telnet = undecided = false;
    held.swap(wire);
    if (held.size() > HOLD_MAX) held.erase(0, held.size() - HOLD_MAX);
    forget(&wire);
    forget(&replies);
}

// One read while the open waits, all of it held.
static void take_while_opening(void)
{
    int got = eof ? -1 : plat_net_read(raw, RX_BLOCK);
    if (got < 0) closed = eof = true;
    if (got <= 0) return;
    if (!telnet) {
        hold(raw, (size_t)got);
        return;
    }
    static unsigned char data[RX_BLOCK];
    std::string reply;
    int n = telnet_receive(&tn, raw, got, data, &reply);
    if (!undecided) {
        hold(data, (size_t)n);
        if (!reply.empty()) queue_for_server(reply);
        return;
    }
    wire.append((const char*)raw, (size_t)got);
    replies += reply;
    if (tn.negotiated) { // Telnet after all: the codec's reading stands
        undecided = false;
        forget(&wire);
        hold(data, (size_t)n);
        std::string waiting;
        waiting.swap(replies);
        queue_for_server(waiting);
    } else if (wire.size() > HOLD_MAX) { // a stream of data, no answer in it
        take_as_raw();
    }
}

// Moves what the socket holds into rx, as data, while there is room; the
// codec's replies go out with what waits to be sent. Held data comes first.
static void pump(void)
{
    send_pending();
    if (opening) {
        take_while_opening();
        return;
    }
    // A write that failed does not end the reading: what the far end sent
    // before it closed is still to be had.
    if (rx_at > 0) {
        memmove(rx, rx + rx_at, (size_t)rx_len);
        rx_at = 0;
    }
    int room = RX_BLOCK - rx_len;
    if (room == 0) return;
    if (held_left() > 0) {
        int n = held_left() < (size_t)room ? (int)held_left() : room;
        memcpy(rx + rx_len, held.data() + held_at, (size_t)n);
        rx_len += n;
        held_at += (size_t)n;
        if (held_left() == 0) {
            forget(&held);
            held_at = 0;
        }
        return;
    }
    int got = eof ? -1 : plat_net_read(raw, room);
    if (got < 0) closed = eof = true;
    if (got <= 0) return;
    if (!telnet) {
        memcpy(rx + rx_len, raw, (size_t)got);
        rx_len += got;
        return;
    }
    std::string reply;
    rx_len += telnet_receive(&tn, raw, got, rx + rx_len, &reply);
    if (!reply.empty()) queue_for_server(reply);
}

int net_queue(void)
{
    pump();
    if (rx_len > 0) return rx_len;
    return closed && eof && held_left() == 0 ? -1 : 0;
}

// At most n of the bytes waiting now: those taken in already, and what the
// socket holds.
int net_read(unsigned char* buf, int n)
{
    if (n > rx_len) pump();
    if (n > rx_len) n = rx_len;
    memcpy(buf, rx + rx_at, (size_t)n);
    rx_at += n;
    rx_len -= n;
    return n;
}

// Hung up once closed and everything that came before the close is read:
// a write that failed leaves bytes still to be had from the socket.
int net_hung_up(void)
{
    if (closed && !eof && rx_len == 0) pump();
    return closed && eof && rx_len == 0 && held_left() == 0;
}

// Data goes straight to the socket, as much as it takes now; only what
// must not be cut stays here: the second half of a doubled IAC whose first
// half went, and the commands of the settings and lines.
int net_write(const unsigned char* buf, int n)
{
    if (closed) return -1;
    send_pending();
    if (!tx.empty() || closed) return closed ? -1 : 0;
    if (n > WRITE_CHUNK) n = WRITE_CHUNK;
    if (!telnet) {
        int took = plat_net_write(buf, n);
        if (took < 0) closed = true;
        return took;
    }
    std::string wire;
    telnet_escape(buf, n, &wire);
    int sent = plat_net_write((const unsigned char*)wire.data(), (int)wire.size());
    if (sent < 0) {
        closed = true;
        return -1;
    }
    // The data bytes the sent part covers; a 0xFF cut in two counts as
    // taken, its second half kept to go first next time.
    int took = 0;
    for (int at = 0; at < sent; took++) {
        int width = buf[took] == 0xff ? 2 : 1;
        if (at + width > sent) tx.push_back((char)0xff);
        at += width;
    }
    return took;
}

bool net_pending(void)
{
    return !tx.empty() && !closed;
}

// ---- the open ---------------------------------------------------------------

static void warn(int which, const char* text)
{
    if (warned[which]) return;
    warned[which] = true;
    opened.warning((std::string(opened.label) + " " + text).c_str());
}

void net_forget_warnings(void)
{
    memset(warned, 0, sizeof warned);
}

// Under -w, a server that turns the open away with words of its own
// ("Port already in use") is waited for: its words are shown each time
// they change.
static void show_server_text(const char* text)
{
    if (!opened.show_server_text || strcmp(text, server_said) == 0) return;
    snprintf(server_said, sizeof server_said, "%s", text);
    if (*text) opened.server_says(text);
}

enum { W_DONE = 1, W_TIMEOUT = 0, W_CLOSED = -1, W_STOPPED = -2 };

static int answered_count(void)
{
    int n = 0;
    for (int s = 0; s < TS_COUNT; s++)
        n += tn.confirmed[s] > 0;
    return n;
}

// Waits for the server: until done() holds, the connection closes, the
// caller stops it, or ms pass without a new answer from the server.
static int wait_server(bool (*done)(void), long ms)
{
    long since = plat_clock_ms();
    int answers = answered_count();
    bool purged = false;
    for (;;) {
        pump();
        // The purge empties the remote port's queues: what came before it is
        // dropped, as the local open drops it.
        if (!purged && tn.confirmed[TS_PURGE] > 0) {
            purged = true;
            forget(&held);
        }
        if (done()) return W_DONE;
        if (closed && eof) return W_CLOSED; // with all it said before it closed
        if (opened.stop()) return W_STOPPED;
        long now = plat_clock_ms();
        if (answered_count() != answers) {
            answers = answered_count();
            since = now;
        }
        if (now - since >= ms) return closed ? W_CLOSED : W_TIMEOUT;
        plat_net_wait(STEP_MS);
    }
}

static bool option_answered(void)
{
    return tn.comport != 0;
}

static bool all_confirmed(void)
{
    return answered_count() == TS_COUNT;
}

// Why a server that closed during the open did so: its own text (ser2net's
// "Port already in use"), on one line; empty when it said nothing.
static void server_text(char* why, int size)
{
    int n = 0;
    for (size_t i = 0; i < held.size() && n < size - 1; i++) {
        unsigned char c = (unsigned char)held[i];
        if (c >= 0x20 && c < 0x7f)
            why[n++] = (char)c;
        else if ((c == '\r' || c == '\n') && n > 0 && why[n - 1] != ' ')
            why[n++] = ' ';
    }
    while (n > 0 && why[n - 1] == ' ')
        n--;
    why[n] = 0;
}

static int fail_open(int result, char* why, int size)
{
    if (undecided) take_as_raw();
    opening = false;
    if (result == W_CLOSED && flooded) {
        snprintf(why, (size_t)size, "the server %s", FLOODED);
    } else if (result == W_CLOSED) {
        char said[sizeof server_said];
        server_text(said, sizeof said);
        show_server_text(said);
        snprintf(why, (size_t)size, "%s", *said ? said : "connection closed by the server");
    }
    forget(&held);
    held_at = 0;
    plat_net_close();
    return result == W_STOPPED ? NET_STOPPED : NET_FAILED;
}

// -m's parity letter and RFC 2217's code for it, in the code's order.
static const char PARITY_LETTERS[] = "NOEMS";

// -f's letter and the flow control code; none where -f is not given, as the
// local open on Linux sets it.
static int flow_code(char flow)
{
    return flow == 'h' ? TN_FLOW_HARDWARE : flow == 's' ? TN_FLOW_XONXOFF : TN_FLOW_NONE;
}

// The remote port set as a local one is, in the same order: rate, framing,
// flow control, both queues purged, break off, DTR and RTS raised.
static void send_settings(int baud, const line_format* fmt)
{
    const char* parity = strchr(PARITY_LETTERS, fmt->parity);
    memset(tn.confirmed, 0, sizeof tn.confirmed);
    telnet_setting(TS_BAUD, baud, &tx);
    telnet_setting(TS_DATASIZE, fmt->data_bits, &tx);
    telnet_setting(TS_PARITY,
        parity ? (int)TN_PARITY_NONE + (int)(parity - PARITY_LETTERS) : (int)TN_PARITY_NONE, &tx);
    telnet_setting(TS_STOPSIZE, fmt->stop_bits, &tx);
    telnet_setting(TS_FLOW, flow_code(fmt->flow), &tx);
    telnet_setting(TS_PURGE, 3, &tx);
    telnet_setting(TS_BREAK, 0, &tx);
    telnet_setting(TS_DTR, 1, &tx);
    telnet_setting(TS_RTS, 1, &tx);
    dtr_on = rts_on = 1;
    queue_for_server("");
}

static int connect_port(const net_url* u, char* why, int size)
{
    if (plat_net_connect(u->host, u->port, why, size) != 0) return NET_FAILED;
    long start = plat_clock_ms();
    for (;;) {
        int r = plat_net_connected(STEP_MS, why, size);
        if (r > 0) return NET_OPEN;
        if (r < 0) return NET_FAILED;
        if (opened.stop()) {
            plat_net_close();
            return NET_STOPPED;
        }
        if (plat_clock_ms() - start >= CONNECT_MS) {
            snprintf(why, (size_t)size, "no answer within %ld s", CONNECT_MS / 1000);
            plat_net_close();
            return NET_FAILED;
        }
    }
}

int net_open(const net_url* u, const net_settings* settings, char* why, int size)
{
    opened = *settings;
    net_forget_warnings();
    telnet = opening = undecided = flooded = false;
    closed = eof = false;
    rx_at = rx_len = 0;
    forget(&held);
    held_at = 0;
    tx.clear();
    dtr_on = rts_on = -1;
    int r = connect_port(u, why, size);
    if (r != 0) {
        show_server_text("");
        return r;
    }
    if (!u->rfc2217) {
        show_server_text("");
        if (settings->line_options) warn(WARN_RAW, "is a raw TCP port: it has no line settings");
        return NET_OPEN;
    }
    telnet = opening = undecided = true;
    telnet_start(&tn, &tx);
    send_pending();
    int w = wait_server(option_answered, OPTION_MS);
    if (w == W_CLOSED || w == W_STOPPED) return fail_open(w, why, size);
    if (undecided) take_as_raw();
    if (tn.comport != 1) {
        opening = false;
        show_server_text("");
        warn(WARN_COMPORT,
            tn.comport < 0 ? "refuses COM-PORT-OPTION: the rate and lines cannot be set"
                           : "does not answer COM-PORT-OPTION: the rate and lines cannot be set");
        return NET_OPEN;
    }
    send_settings(settings->baud, &settings->format);
    w = wait_server(all_confirmed, SETTING_MS);
    if (w == W_CLOSED || w == W_STOPPED) return fail_open(w, why, size);
    opening = false;
    show_server_text("");
    for (int s = 0; s < TS_COUNT; s++) {
        char text[64];
        snprintf(text, sizeof text, "did not confirm the %s setting",
            telnet_setting_name((tn_setting)s));
        if (tn.confirmed[s] == 0) warn(s, text);
    }
    return NET_OPEN;
}

// The rate the server says it set, when it said so.
int net_rate(int* baud)
{
    if (!telnet || tn.comport != 1 || tn.confirmed[TS_BAUD] == 0) return -1;
    *baud = (int)tn.value[TS_BAUD];
    return 0;
}

// What is still waiting here (a command, half a doubled IAC) goes out, for
// a moment at most: the socket's close would drop it, and a far end that
// takes nothing must not hold up the end of the session.
void net_close(void)
{
    long start = plat_clock_ms();
    while (net_pending() && plat_clock_ms() - start < CLOSE_MS) {
        plat_net_wait(STEP_MS);
        send_pending();
    }
    plat_net_close();
    closed = eof = true;
    opening = undecided = false;
    rx_at = rx_len = 0;
    forget(&held);
    held_at = 0;
    forget(&wire);
    forget(&replies);
    tx.clear();
}

// The framing and flow control as the server confirmed them.
int net_format(line_format* fmt)
{
    if (!telnet || tn.comport != 1) return -1;
    const int* c = tn.confirmed;
    if (!c[TS_DATASIZE] || !c[TS_PARITY] || !c[TS_STOPSIZE]) return -1;
    long parity = tn.value[TS_PARITY];
    bool known = parity >= TN_PARITY_NONE && parity <= TN_PARITY_SPACE;
    fmt->data_bits = (int)tn.value[TS_DATASIZE];
    fmt->parity = known ? PARITY_LETTERS[parity - TN_PARITY_NONE] : '?';
    fmt->stop_bits = tn.value[TS_STOPSIZE] == 2 ? 2 : 1;
    long flow = tn.value[TS_FLOW];
    fmt->flow = !c[TS_FLOW]        ? opened.format.flow
        : flow == TN_FLOW_HARDWARE ? 'h'
        : flow == TN_FLOW_XONXOFF  ? 's'
        : flow == TN_FLOW_NONE     ? 'n'
                                   : '?';
    return 0;
}

// ---- the modem lines ---------------------------------------------------------

static bool has_lines(void)
{
    return telnet && tn.comport == 1 && !closed;
}

// A port without COM-PORT-OPTION has no lines to set. Where the open has
// said so already (a raw TCP port with -b, -m, -f or -r, a server that does
// not answer the option), a step that sets one does nothing, quietly, and a
// -r wait still waits; elsewhere the caller is told there are no lines.
static int control(tn_setting s, int on)
{
    if (!has_lines()) return warned[WARN_RAW] || warned[WARN_COMPORT] ? 0 : -1;
    std::string command;
    telnet_setting(s, on, &command);
    queue_for_server(command);
    return 0;
}

int net_set_dtr(int on)
{
    if (control(TS_DTR, on) != 0) return -1;
    dtr_on = on != 0;
    return 0;
}

int net_set_rts(int on)
{
    if (control(TS_RTS, on) != 0) return -1;
    rts_on = on != 0;
    return 0;
}

int net_set_break(int on)
{
    return control(TS_BREAK, on);
}

// CTS, DSR, DCD and RI as the server last told; 0 until it has.
int net_lines(modem_state* m)
{
    if (!has_lines()) return -1;
    int bits = tn.modem < 0 ? 0 : tn.modem;
    m->dtr = dtr_on;
    m->rts = rts_on;
    m->cts = (bits & TN_MODEM_CTS) != 0;
    m->dsr = (bits & TN_MODEM_DSR) != 0;
    m->dcd = (bits & TN_MODEM_DCD) != 0;
    m->ri = (bits & TN_MODEM_RI) != 0;
    return 0;
}
