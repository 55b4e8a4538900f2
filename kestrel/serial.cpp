// serial.cpp - the one serial channel (RS_ operations): a local port or a
// network one, with -w's waits for a port that is not there yet.
#include "channel.h"
#include "byte_queue.h"
#include "console.h"
#include "keys.h"
#include "net/netport.h"
#include "options.h"
#include "platform/platform.h"
#include <cstring>

static bool on_net; // the open port is a network one
static char open_why[256]; // why the last open of a network port failed
static int current_port; // the port last opened, for RS_name

// From open_port: the port is open, can't be had, or Ctrl-A ended a connect.
enum { OPENED = NET_OPEN, OPEN_FAILED = NET_FAILED, OPEN_STOPPED = NET_STOPPED };

static void net_warning(const char* text)
{
    message_line();
    fprintf(stderr, "WARNING: %s\n", text);
}

static void net_server_says(const char* text)
{
    message_line();
    printf("%s says: %s\n", port_name, text);
    fflush(stdout);
}

// Options that set the line, which a raw TCP port does not have.
static bool line_options_given(void)
{
    return option_text('b') || option_text('m') || option_text('f') || option_text('r');
}

static int open_network(const net_url* url, int baud)
{
    net_settings s = { port_name, baud, line_fmt, line_options_given(), wait_flag,
        keys_escape_came, net_warning, net_server_says };
    return net_open(url, &s, open_why, sizeof open_why);
}

// Port 0 with a name from -c opens the named device, or the network port a
// URL names. The framing and flow control of -m and -f go with the rate.
static int open_port(int port, int baud)
{
    const char* name = port == 0 ? port_name : nullptr;
    current_port = port;
    net_url url;
    const char* bad;
    on_net = name && net_parse_url(name, &url, &bad) == NET_URL;
    if (on_net) return open_network(&url, baud);
    return name ? plat_port_open_name(name, baud, &line_fmt)
                : plat_port_open(port, baud, &line_fmt);
}

static void close_port(void)
{
    if (on_net)
        net_close();
    else
        plat_port_close();
}

// How messages name the port: COMn, or the name as the user gave it.
static const char* port_label(int port)
{
    static char com[24];
    if (port == 0 && port_name) return port_name;
    snprintf(com, sizeof com, "COM%d", port);
    return com;
}

// A network port's message carries the reason; a local port's follows it.
static void open_failed(int port)
{
    if (on_net) {
        fprintf(stderr, "Can't Open COM Port (%s: %s).\n", port_label(port), open_why);
    } else {
        fprintf(stderr, "Can't Open COM Port (%s:).\n", port_label(port));
        fprintf(stderr, "%s\n", plat_port_error());
    }
    plat_exit(1);
}

int RS_open(int port, int baud)
{
    if (open_port(port, baud) == OPEN_FAILED) open_failed(port);
    return 0;
}

static const char HUNG_UP[] = "port hung up";
static const int RETRY_MS = 200; // between opens of a port waited for

static bool keep_on; // -w in a mode that reconnects: a hang-up is waited out
static bool port_lost; // it hung up; the mode's loop waits for it again
static bool rate_warned;
static bool format_warned;

// A port that hung up stays silent for good: the run ends there, unless the
// mode waits for the port to come back.
static void hang_up(void)
{
    if (!keep_on) RS_fatal(HUNG_UP);
    port_lost = true;
}

static int port_hung_up(void)
{
    return on_net ? net_hung_up() : plat_port_hung_up();
}

// Bytes read while a -r sequence waits: a long wait must
// not leave them to a driver buffer that may be small (16 KiB on Windows).
// RS_read gives them before anything newer. Past HOLD_MAX the driver holds
// the rest, as it would have held all of it.
static byte_queue held_rx;
static const size_t HOLD_MAX = 64u << 20;

static int held(void)
{
    return (int)bq_size(&held_rx);
}

static void drop_held(void)
{
    bq_clear(&held_rx);
}

// A port that hangs up meanwhile is left for the mode's next read to find.
void RS_hold_input(void)
{
    static unsigned char buf[RX_BLOCK];
    while (!port_lost && bq_size(&held_rx) < HOLD_MAX) {
        int got = on_net ? net_read(buf, RX_BLOCK) : plat_port_read(buf, RX_BLOCK);
        if (got <= 0) return;
        bq_push(&held_rx, buf, (size_t)got);
    }
}

// The bytes held and those the port has, as one queue.
int RS_checkdata(void)
{
    int n = on_net ? net_queue() : plat_port_queue();
    if (n < 0 && held() == 0 && port_hung_up()) hang_up();
    return held() + (n < 0 ? 0 : n);
}

// The held bytes first, then the port's; a hang-up shows once both are read.
int RS_read(unsigned char* buf, int n)
{
    int from_held = held() < n ? held() : n;
    memcpy(buf, bq_front(&held_rx), (size_t)from_held);
    bq_drop(&held_rx, (size_t)from_held);
    if (from_held == n) return n;
    int got = on_net ? net_read(buf + from_held, n - from_held)
                     : plat_port_read(buf + from_held, n - from_held);
    if (got <= 0 && from_held == 0 && port_hung_up()) hang_up();
    return from_held + (got < 0 ? 0 : got);
}

// What the port has not taken yet, in the order written.
static byte_queue tx_queue;

// Hands the port what it takes now; the rest stays queued. Bytes written to
// a port that hung up under -w are lost with the port.
static int offer(const unsigned char* buf, int n)
{
    int took = on_net ? net_write(buf, n) : plat_port_write(buf, n);
    if (took >= 0) return took;
    if (on_net) { // closed: the hang-up shows once what came before the close is read
        bq_clear(&tx_queue);
        if (net_hung_up()) hang_up();
        return n;
    }
    if (!plat_port_hung_up()) RS_fatal("cnt != dwWritten");
    hang_up();
    bq_clear(&tx_queue);
    return n;
}

int RS_write(const unsigned char* buf, int n)
{
    if (n <= 0) return n;
    int took = RS_pending() == 0 ? offer(buf, n) : 0;
    if (took < n) bq_push(&tx_queue, buf + took, (size_t)(n - took));
    return n;
}

int RS_pending(void)
{
    return (int)bq_size(&tx_queue);
}

int RS_flush(void)
{
    int n = RS_pending();
    if (n == 0) return 0;
    int took = offer(bq_front(&tx_queue), n);
    bq_drop(&tx_queue, (size_t)took);
    return took;
}

void RS_wait(int ms, bool input)
{
    if (input && held() > 0) return;
    plat_wait_io(ms, input, RS_pending() > 0);
}

int RS_putc(int c)
{
    unsigned char b = (unsigned char)c;
    RS_write(&b, 1);
    return 0;
}

// The mode's end: a later open starts without what -w left behind.
void RS_close(void)
{
    bq_clear(&tx_queue); // what the port never took is dropped with it
    drop_held();
    close_port();
    keep_on = false;
    port_lost = false;
}

static void (*held_output)(void);

void RS_on_fatal(void (*give_up_held)(void))
{
    held_output = give_up_held;
}

void RS_fatal(const char* msg)
{
    void (*give_up)(void) = held_output;
    held_output = nullptr; // once: the console itself may fail
    if (give_up) give_up();
    message_line();
    fprintf(stderr, "FATAL: COM Port Read/Write Error. %s\n", msg);
    RS_close();
    plat_exit(-1);
}

const char* RS_name(void)
{
    return port_label(current_port);
}

// A modem-line call that failed because the port hung up is a hang-up,
// not a port without modem lines.
static int line_result(int result)
{
    if (result == 0 || !port_hung_up()) return result;
    hang_up();
    return 0;
}

int RS_set_dtr(int on)
{
    return line_result(on_net ? net_set_dtr(on) : plat_port_dtr(on));
}

int RS_set_rts(int on)
{
    return line_result(on_net ? net_set_rts(on) : plat_port_rts(on));
}

int RS_set_break(int on)
{
    if (on_net) return line_result(net_set_break(on));
    return line_result(plat_port_break(on));
}

// What the driver still holds for sending; 0 when it can't tell (a
// network port: the socket's queue is no line's).
int RS_out_queue(void)
{
    int n = on_net ? -1 : plat_port_out_queue();
    return n < 0 ? 0 : n;
}

int RS_lines(modem_state* m)
{
    modem_state none = {};
    *m = none;
    int r = on_net ? net_lines(m) : plat_port_lines(m);
    if (r != 0 && port_hung_up()) hang_up();
    return r;
}

static bool (*line_ready)(const line_format* got);

void RS_on_open(bool (*ready)(const line_format* got))
{
    line_ready = ready;
}

// A fresh open: the line is set up (after the open has raised DTR and RTS)
// with the framing the driver runs at, read back like the rate, once a
// session; false when Ctrl-A ended it.
static bool port_ready(void)
{
    line_format got;
    int known = on_net ? net_format(&got) : plat_port_format(&got);
    bool report = !format_warned && known == 0;
    if (report) format_warned = true;
    return !line_ready || line_ready(report ? &got : nullptr);
}

// The driver may keep another rate than the one asked for (a 16550 asked for
// 1000000 stays where it was): say so once, the run goes on.
static void check_rate(int port, int baud)
{
    int rate = 0;
    int known = on_net ? net_rate(&rate) : plat_port_rate(&rate);
    if (rate_warned || known != 0 || rate == baud) return;
    rate_warned = true;
    message_line();
    fprintf(stderr, "WARNING: %s runs at %d baud, not %d\n", port_label(port), rate, baud);
}

// Retries the open until it succeeds, or false when Ctrl-A (or an interrupt
// where keys come from a pipe) ends the wait. Other keys are dropped.
static bool wait_open(int port, int baud)
{
    for (;;) {
        for (int k; (k = key_poll()) >= 0;)
            if (k == ESCAPE_KEY) return false;
        plat_wait(RETRY_MS);
        int r = open_port(port, baud);
        if (r == OPENED) return true;
        if (r == OPEN_STOPPED) return false;
    }
}

bool RS_start(int port, int baud, bool reconnect)
{
    keep_on = reconnect && wait_flag;
    port_lost = false;
    rate_warned = false;
    format_warned = false;
    net_forget_warnings();
    int r = open_port(port, baud);
    if (r == OPEN_STOPPED) return false;
    // Port 0 is none at all (the scan found nothing): there is nothing to wait for.
    if (r != OPENED && (!wait_flag || (port == 0 && !port_name))) open_failed(port);
    if (r != OPENED) {
        printf("Waiting for port %s. Escape=^A\n", port_label(port));
        if (!wait_open(port, baud)) return false;
    }
    check_rate(port, baud);
    if (port_ready()) return true;
    RS_close();
    return false;
}

// Only once what was held is read: the bytes came before the hang-up.
bool RS_hung_up(void)
{
    return port_lost && held() == 0;
}

// The same name at the same rate, once it opens again; false when Ctrl-A
// ended the wait. The log never hears of it.
bool RS_reopen(int port, int baud)
{
    if (!wait_open(port, baud)) return false;
    keep_on = wait_flag; // RS_close forgot it
    port_lost = false;
    check_rate(port, baud);
    printf("Port %s is back.\n", port_label(port));
    return port_ready();
}

bool RS_reconnect(int port, int baud)
{
    bq_clear(&tx_queue);
    drop_held();
    close_port();
    message_line();
    printf("Port %s hung up. Waiting for it again.\n", port_label(port));
    if (!wait_open(port, baud)) return false;
    port_lost = false;
    check_rate(port, baud);
    printf("Port %s is back.\n", port_label(port));
    return port_ready();
}
