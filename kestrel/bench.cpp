// bench.cpp - throughput benchmark against a peer that echoes every byte.
#include "bench.h"
#include "channel.h"
#include "console.h"
#include "keys.h"
#include "options.h"
#include "platform/platform.h"
#include <cstring>

static const int BLOCKS = 250;
static const int BLOCK_SIZE = 128;
static const int RUN_BYTES = BLOCKS * BLOCK_SIZE;
static const long DRAIN_TIMEOUT_MS = 1000; // drain time allowed without any progress

static unsigned char check_buf[1152];

void bench_send_block(void)
{
    unsigned char block[BLOCK_SIZE];
    for (int k = 0; k < BLOCK_SIZE; k++)
        block[k] = (unsigned char)(0x20 + k);
    RS_write(block, BLOCK_SIZE);
}

int bench_check_block(int index)
{
    memset(check_buf, 0, sizeof check_buf);
    RS_read(check_buf, BLOCK_SIZE);
    int errors = 0;
    for (int k = 0; k < BLOCK_SIZE; k++) {
        if (debug_flag) printf(" %02x", check_buf[k]);
        if (check_buf[k] != 0x20 + k) errors++;
    }
    if (errors != 0) {
        printf("[%d]Recv Errors = %2d/%2d:\n", index, errors, BLOCK_SIZE);
        hex_dump(check_buf, BLOCK_SIZE, 0);
    }
    if (debug_flag) printf("\n");
    return errors;
}

void hex_dump(const unsigned char* data, int count, int base)
{
    for (int i = 0; i < count; i++) {
        if (i % 16 == 0) printf("%06x", i + base);
        printf(" %02x", data[i]);
        if (i % 16 == 15) {
            printf("  ");
            for (int j = i - 15; j <= i; j++)
                putchar(data[j] >= 0x20 && data[j] <= 0x7e ? data[j] : '.');
            printf("\n");
        }
    }
    printf("\n");
}

static bool bad_run; // a block came back wrong, or the run timed out

// Compares every complete block that is waiting; returns the queue count left.
static int check_waiting(int* rxcnt)
{
    int q;
    while ((q = RS_checkdata()) >= BLOCK_SIZE) {
        if (bench_check_block(*rxcnt) != 0) bad_run = true;
        (*rxcnt)++;
    }
    return q;
}

// Progress is any change: a block compared, a byte arrived, the port took
// output. A peer that pauses (a USB adapter's latency timer, a busy relay)
// keeps the run going; a dead or short one, or a port that takes nothing,
// ends it a second after the last change.
// The clock is read only while nothing changes.
struct progress {
    int q, rx, pending;
    long since; // -1: not timing
};

static void progress_start(progress* p, int rxcnt)
{
    *p = progress { 0, rxcnt, RS_pending(), -1 };
}

// False, after the time-out message, once nothing has changed for the limit.
static bool progress_made(progress* p, int q, int rxcnt)
{
    int pending = RS_pending();
    if (q != p->q || rxcnt != p->rx || pending != p->pending) {
        *p = progress { q, rxcnt, pending, -1 };
        return true;
    }
    long now = plat_clock_ms();
    if (p->since < 0) p->since = now;
    if (now - p->since < DRAIN_TIMEOUT_MS) return true;
    printf("\nBenchmark TIMEOUT. rxcnt %d < count %d ,RS_checkdata()=%d\n", rxcnt, BLOCKS,
        RS_checkdata());
    bad_run = true;
    return false;
}

// Waits until something may have changed: a key, a byte, room at the port.
// A part block already waiting would wake the wait at once: then only the
// port's room ends it early, or a millisecond passes.
static void bench_wait(int q)
{
    if (q > 0 && RS_pending() == 0)
        plat_sleep_ms(1);
    else
        RS_wait(q > 0 ? 1 : IDLE_WAIT_MS, q == 0);
}

// Waits for the echo of the last blocks (and for the port to take the last).
static void drain(int* rxcnt)
{
    progress p;
    progress_start(&p, *rxcnt);
    for (;;) {
        if (key_poll() == ESCAPE_KEY) return;
        RS_flush();
        int q = check_waiting(rxcnt);
        if (*rxcnt >= BLOCKS) return;
        if (!progress_made(&p, q, *rxcnt)) return;
        bench_wait(q);
    }
}

// The send phase: a block goes out once the port has taken the one before;
// false when Ctrl-A or the time-out ended the run.
static bool send_blocks(int* rxcnt)
{
    progress p;
    progress_start(&p, *rxcnt);
    for (int left = BLOCKS; left > 0;) {
        RS_flush();
        bool sent = RS_pending() == 0;
        if (sent) {
            bench_send_block();
            left--;
        }
        if (key_poll() == ESCAPE_KEY) return false;
        int q = check_waiting(rxcnt);
        if (sent) {
            console_show(
                (const unsigned char*)".", 1); // a message after the dots starts a new line
            progress_start(&p, *rxcnt);
        } else {
            if (!progress_made(&p, q, *rxcnt)) return false;
            bench_wait(q);
        }
    }
    return true;
}

int Benchmark(int port, int baud)
{
    if (!RS_start(port, baud, false)) return 0; // never reconnects: a hang-up ends the run
    console_banner("Benchmark");
    long start = plat_clock_ms();
    int rxcnt = 0;
    bad_run = false;
    if (send_blocks(&rxcnt) && rxcnt < BLOCKS) drain(&rxcnt);

    printf("\nBenchmark end. ");
    int elapsed = (int)(plat_clock_ms() - start);
    if (elapsed == 0) elapsed = 2;
    int rate = 32000000 / elapsed;
    printf("%d bytes/%d ms,  %d bytes/s (%d bps)\n", RUN_BYTES, elapsed, rate, rate * 10);
    RS_close();
    return bad_run ? 2 : 0;
}
