// bench.h - the benchmark against an echo server.
#ifndef KESTREL_BENCH_H
#define KESTREL_BENCH_H

// The exit code: 2 for a time-out or a bad block.
int Benchmark(int port, int baud);
void bench_send_block(void);
int bench_check_block(int index);
void hex_dump(const unsigned char* data, int count, int base);

#endif
