// bench.cpp - throughput benchmark against a peer that echoes every byte.
#include "kestrel.h"
#include "platform.h"
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

// Compares every complete block that is waiting; returns the queue count left.
static int check_waiting(int* rxcnt)
{
    int q;
    while ((q = RS_checkdata()) >= BLOCK_SIZE) {
        bench_check_block(*rxcnt);
        (*rxcnt)++;
    }
    return q;
}

// Waits for the echo of the last blocks. It times out when nothing arrived and
// no block was compared for a second: a peer that pauses (a USB adapter's
// latency timer, a busy relay) keeps draining, a dead or short one ends here.
static void drain(int* rxcnt)
{
    int last_q = 0, last_rx = *rxcnt;
    long since = plat_clock_ms();
    for (;;) {
        if (key_poll() == ESCAPE_KEY) return;
        int q = check_waiting(rxcnt);
        if (*rxcnt >= BLOCKS) return;
        long now = plat_clock_ms();
        if (q != last_q || *rxcnt != last_rx) {
            since = now;
            last_q = q;
            last_rx = *rxcnt;
        } else if (now - since >= DRAIN_TIMEOUT_MS) {
            printf("\nBenchmark TIMEOUT. rxcnt %d < count %d ,RS_checkdata()=%d\n", *rxcnt, BLOCKS,
                RS_checkdata());
            return;
        }
        // A part block already waits: the port would wake the wait at once.
        if (q > 0)
            plat_sleep_ms(1);
        else
            plat_wait(IDLE_WAIT_MS);
    }
}

void Benchmark(int port, int baud)
{
    if (!RS_start(port, baud, false)) return; // never reconnects: a hang-up ends the run
    console_banner("Benchmark");
    long start = plat_clock_ms();
    int rxcnt = 0;
    bool aborted = false;
    for (int left = BLOCKS; left > 0; left--) {
        bench_send_block();
        if (key_poll() == ESCAPE_KEY) {
            aborted = true;
            break;
        }
        check_waiting(&rxcnt);
        console_show((const unsigned char*)".", 1); // a message after the dots starts a new line
    }
    if (!aborted && rxcnt < BLOCKS) drain(&rxcnt);

    printf("\nBenchmark end. ");
    int elapsed = (int)(plat_clock_ms() - start);
    if (elapsed == 0) elapsed = 2;
    int rate = 32000000 / elapsed;
    printf("%d bytes/%d ms,  %d bytes/s (%d bps)\n", RUN_BYTES, elapsed, rate, rate * 10);
    RS_close();
}
