// echoback.cpp - loop-back peer: every received byte goes straight back, CR gains an LF.
#include "kestrel.h"
#include "platform.h"
#include <string>

static unsigned char rx_buf[RX_BLOCK];
static unsigned char tx_buf[2 * RX_BLOCK]; // room for an LF after every byte

// Copies n received bytes to out, each CR followed by an LF; returns the length.
static int expand_cr(const unsigned char* in, int n, unsigned char* out)
{
    int len = 0;
    for (int i = 0; i < n; i++) {
        out[len++] = in[i];
        if (in[i] == '\r') out[len++] = '\n';
    }
    return len;
}

// While bytes stream, the keyboard is looked at this often rather than at
// every block: a look is a system call, as costly as the block's own. The
// console gets the echoed bytes at the same pace, or once this many wait,
// or as soon as the stream pauses: one console write for several blocks.
static const long LOOK_MS = 5;
static const size_t CONSOLE_BATCH = 32768;

static std::string shown; // echoed bytes the console has not been given yet

static void show_echoed(void)
{
    console_show((const unsigned char*)shown.data(), (int)shown.size());
    shown.clear();
}

void EchobackMode(int port, int baud)
{
    if (!RS_start(port, baud, true)) return;
    console_banner("EchobackMode");
    shown.clear();
    long looked = plat_clock_ms();
    for (;;) {
        // While the port holds back an echo, nothing more is read: every
        // byte goes back in order, and the far end's own queue holds the rest.
        bool moved = RS_flush() > 0;
        int n = RS_pending() > 0 ? 0 : RS_read(rx_buf, RX_BLOCK);
        if (RS_hung_up()) {
            show_echoed();
            if (!RS_reconnect(port, baud)) break;
            continue;
        }
        if (n > 0) {
            int len = expand_cr(rx_buf, n, tx_buf);
            RS_write(tx_buf, len); // the echo goes to the port first
            shown.append((const char*)tx_buf, (size_t)len);
            moved = true;
        }
        long now = plat_clock_ms();
        bool look = !moved || now - looked >= LOOK_MS;
        if (look || shown.size() >= CONSOLE_BATCH) show_echoed();
        if (look) {
            looked = now;
            if (key_poll() == ESCAPE_KEY) break; // other keys are dropped
        }
        if (!moved) RS_wait(IDLE_WAIT_MS, RS_pending() == 0);
    }
    show_echoed();
    RS_close();
}
