// serial.cpp - the one serial channel (RS_ operations) and the keyboard poll.
#include "kestrel.h"
#include "platform.h"

static bool on_net; // the open port is a network one
static char open_why[256]; // why the last open of a network port failed

// Port 0 with a name from -c opens the named device, or the network port a
// URL names: 0 on success, -1 failed, -2 Ctrl-A ended a connect.
static int open_port(int port, int baud)
{
    const char* name = port == 0 ? port_name : nullptr;
    net_url url;
    const char* bad;
    on_net = name && net_parse_url(name, &url, &bad) > 0;
    if (on_net) return net_open(&url, name, baud, open_why, sizeof open_why);
    return name ? plat_port_open_name(name, baud) : plat_port_open(port, baud);
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

static void open_failed(int port)
{
    if (on_net)
        fprintf(stderr, "Can't Open COM Port (%s: %s).\n", port_label(port), open_why);
    else
        fprintf(stderr, "Can't Open COM Port (%s:).\n", port_label(port));
    plat_exit(1);
}

int RS_open(int port, int baud)
{
    if (open_port(port, baud) == -1) open_failed(port);
    return 0;
}

static const char HUNG_UP[] = "port hung up";
static const int RETRY_MS = 200; // between opens of a port waited for

static bool keep_on; // -w in a mode that reconnects: a hang-up is waited out
static bool port_lost; // it hung up; the mode's loop waits for it again
static bool rate_warned;

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

int RS_checkdata(void)
{
    int n = on_net ? net_queue() : plat_port_queue();
    if (n < 0 && port_hung_up()) hang_up();
    return n < 0 ? 0 : n;
}

int RS_read(unsigned char* buf, int n)
{
    int got = on_net ? net_read(buf, n) : plat_port_read(buf, n);
    if (got <= 0 && port_hung_up()) hang_up();
    return got < 0 ? 0 : got;
}

// A network port takes what its socket has room for; the rest is handed
// on as room comes (a write waits, as a local one does), while what arrives
// meanwhile is taken in, so that neither end waits for the other.
static void net_write_all(const unsigned char* buf, int n)
{
    int done = 0;
    while (done < n) {
        int took = net_write(buf + done, n - done);
        if (took < 0) return; // closed: the rest is lost with the connection
        done += took;
        if (done < n) {
            net_wait(IDLE_WAIT_MS);
            net_queue();
        }
    }
}

// Bytes written to a port that hung up under -w are lost with the port. On
// a network port the hang-up shows once the bytes that came before the
// close have been read, so that the log holds every one of them.
int RS_write(const unsigned char* buf, int n)
{
    if (on_net) {
        net_write_all(buf, n);
        if (net_hung_up()) hang_up();
        return n;
    }
    if (plat_port_write(buf, n) == n) return n;
    if (!port_hung_up()) RS_fatal("cnt != dwWritten");
    hang_up();
    return n;
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
    close_port();
    keep_on = false;
    port_lost = false;
}

void RS_fatal(const char* msg)
{
    message_line();
    fprintf(stderr, "FATAL: COM Port Read/Write Error. %s\n", msg);
    RS_close();
    plat_exit(-1);
}

int key_poll(void)
{
    return plat_key_poll();
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
        if (r == 0) return true;
        if (r == -2) return false;
    }
}

bool RS_start(int port, int baud, bool reconnect)
{
    keep_on = reconnect && wait_flag;
    port_lost = false;
    rate_warned = false;
    net_forget_warnings();
    int r = open_port(port, baud);
    if (r == -2) return false;
    // Port 0 is none at all (the scan found nothing): there is nothing to wait for.
    if (r != 0 && (!wait_flag || (port == 0 && !port_name))) open_failed(port);
    if (r != 0) {
        printf("Waiting for port %s. Escape=^A\n", port_label(port));
        if (!wait_open(port, baud)) return false;
    }
    check_rate(port, baud);
    return true;
}

bool RS_hung_up(void)
{
    return port_lost;
}

// The same name at the same rate, once it opens again; false when Ctrl-A
// ended the wait. The log never hears of it.
bool RS_reconnect(int port, int baud)
{
    close_port();
    message_line();
    printf("Port %s hung up. Waiting for it again.\n", port_label(port));
    if (!wait_open(port, baud)) return false;
    port_lost = false;
    check_rate(port, baud);
    printf("Port %s is back.\n", port_label(port));
    return true;
}
