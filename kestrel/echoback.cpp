// echoback.cpp - loop-back peer: every received byte goes straight back, CR gains an LF.
#include "echoback.h"
#include "byte_queue.h"
#include "channel.h"
#include "console.h"
#include "keys.h"
#include "platform/platform.h"

#include <cstring>

static unsigned char rx_buf[RX_BLOCK];
static unsigned char tx_buf[2 * RX_BLOCK]; // room for an LF after every byte

// Copies n received bytes to out, each CR followed by an LF; returns the
// length. The runs between CRs are copied whole.
static int expand_cr(const unsigned char* in, int n, unsigned char* out)
{
    int len = 0;
    const unsigned char* end = in + n;
    while (in < end) {
        const unsigned char* cr = (const unsigned char*)memchr(in, '\r', (size_t)(end - in));
        size_t run = cr ? (size_t)(cr - in) + 1 : (size_t)(end - in);
        memcpy(out + len, in, run);
        len += (int)run;
        in += run;
        if (cr) out[len++] = '\n';
    }
    return len;
}

// While bytes stream, the keyboard is looked at this often rather than at
// every block: a look is a system call, as costly as the block's own.
static const long LOOK_MS = 5;
// The echo goes first. While bytes stream, the console gets what was echoed
// when the line pauses, when the oldest byte not shown yet has waited this
// long, or when this much waits; in pieces small enough that a slow console
// never holds the echo for long.
static const long SHOW_WITHIN_MS = 50;
static const size_t CONSOLE_HOLD = 1 << 20;
static const size_t CONSOLE_PIECE = 16384;
static const int PAUSE_MS = 10; // a line quiet this long has paused

static byte_queue shown; // echoed bytes the console has not been given yet
static long shown_since; // when the oldest of them was echoed

static size_t unshown(void)
{
    return bq_size(&shown);
}

// Gives the console up to max of the echoed bytes it has not had yet.
static void show_echoed(size_t max)
{
    size_t n = unshown() < max ? unshown() : max;
    console_show(bq_front(&shown), (int)n);
    bq_drop(&shown, n);
    shown_since = plat_clock_ms();
}

// The console gets every byte echoed before a fatal end shows.
static void show_all_echoed(void)
{
    show_echoed(unshown());
}

// Echoes the n bytes received, and keeps them for the console. A block
// without a CR goes back as it was read.
static void echo(int n)
{
    const unsigned char* out = rx_buf;
    int len = n;
    if (memchr(rx_buf, '\r', (size_t)n)) {
        len = expand_cr(rx_buf, n, tx_buf);
        out = tx_buf;
    }
    if (unshown() == 0) shown_since = plat_clock_ms();
    bq_push(&shown, out, (size_t)len); // kept first: a failed write ends the run
    RS_write(out, len);
}

// The console's queue takes its memory once, before the first byte: growing
// it while bytes stream would copy it and wait for fresh pages.
static void reserve_shown(void)
{
    shown.bytes.resize(CONSOLE_HOLD + 2 * RX_BLOCK);
    bq_clear(&shown);
}

void EchobackMode(int port, int baud)
{
    if (!RS_start(port, baud, true)) return;
    reserve_shown();
    console_banner("EchobackMode");
    RS_on_fatal(show_all_echoed);
    long looked = plat_clock_ms();
    bool waited = false; // the last pass ended in a wait
    bool paused = false; // ...for the line to pause
    for (;;) {
        // While the port holds back an echo, nothing more is read: every
        // byte goes back in order, and the far end's own queue holds the rest.
        bool moved = RS_flush() > 0;
        int n = RS_pending() > 0 ? 0 : RS_read(rx_buf, RX_BLOCK);
        if (RS_hung_up()) {
            show_all_echoed();
            if (!RS_reconnect(port, baud)) break;
            continue;
        }
        if (n > 0) {
            echo(n);
            moved = true;
        }
        long now = plat_clock_ms();
        // A wait that ended with nothing to read may have ended for a key.
        if ((!moved && waited) || now - looked >= LOOK_MS) {
            looked = now;
            if (key_poll() == ESCAPE_KEY) break; // other keys are dropped
        }
        bool due
            = unshown() >= CONSOLE_HOLD || (unshown() > 0 && now - shown_since >= SHOW_WITHIN_MS);
        waited = false;
        if (moved) paused = false;
        // A read shorter than asked took all that waited: the next look would
        // find nothing, so the wait comes at once (a system call less a block).
        bool emptied = n > 0 && n < RX_BLOCK && RS_pending() == 0;
        if (due || (!moved && paused && unshown() > 0)) {
            // Past the hold the console takes all beyond it: the echo then
            // keeps the console's pace, and the queue stays in its memory.
            size_t over = unshown() > CONSOLE_HOLD ? unshown() - CONSOLE_HOLD : 0;
            show_echoed(over + CONSOLE_PIECE);
        } else if (!moved || emptied) {
            // A short look for more first while the console has bytes to show.
            paused = unshown() > 0;
            RS_wait(paused ? PAUSE_MS : NO_DEADLINE, RS_pending() == 0);
            waited = true;
        }
    }
    show_echoed(unshown());
    RS_on_fatal(nullptr);
    RS_close();
}
