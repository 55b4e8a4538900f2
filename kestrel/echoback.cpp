// echoback.cpp - loop-back peer: every received byte goes straight back, CR gains an LF.
#include "kestrel.h"
#include "platform.h"

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

void EchobackMode(int port, int baud)
{
    if (!RS_start(port, baud, true)) return;
    console_banner("EchobackMode");
    for (;;) {
        if (key_poll() == ESCAPE_KEY) break; // other keys are dropped
        int n = RS_checkdata();
        if (n > RX_BLOCK) n = RX_BLOCK;
        if (n > 0) n = RS_read(rx_buf, n);
        if (RS_hung_up()) {
            if (!RS_reconnect(port, baud)) break;
            continue;
        }
        if (n <= 0) {
            plat_wait(IDLE_WAIT_MS);
            continue;
        }
        int len = expand_cr(rx_buf, n, tx_buf);
        RS_write(tx_buf, len); // the echo goes to the port first
        console_show(tx_buf, len);
    }
    RS_close();
}
