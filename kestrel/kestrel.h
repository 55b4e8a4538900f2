// kestrel.h - raw serial terminal: process-wide state and prototypes, by file.
#ifndef KESTREL_H
#define KESTREL_H

#include <cstdio>

#define ESCAPE_KEY 1 // Ctrl-A
#define RX_BLOCK 65536 // most bytes one receive pass takes from the port
#define IDLE_WAIT_MS 10 // longest wait of a pass that moved nothing

// main.cpp: option walk and mode dispatch
extern const char* opt_table[128];
extern int com_port;
extern const char* port_name;
extern int baud_rate;
extern FILE* log_fp;
extern const char* upload_path;
extern bool debug_flag;
// -w: wait for a port that can't be opened yet, and for one that hung up
extern bool wait_flag;
const char* option_text(char letter);
void parse_args(int argc, char** argv);
int kestrel_main(int argc, char** argv);

// serial.cpp: the one serial channel and the keyboard
int RS_open(int port, int baud);
int RS_checkdata(void);
int RS_read(unsigned char* buf, int n);
int RS_write(const unsigned char* buf, int n);
int RS_putc(int c);
void RS_close(void);
[[noreturn]] void RS_fatal(const char* msg);
int key_poll(void);
// A mode's open: under -w it waits for the port (false: Ctrl-A ended the
// wait); it warns once when the driver runs at another rate.
bool RS_start(int port, int baud, bool reconnect);
// Under -w in a mode that reconnects: the port hung up, and the wait for it.
bool RS_hung_up(void);
bool RS_reconnect(int port, int baud);

// ports.cpp: registered ports, their properties and the probe
int PortScan(int port, int baud, bool verbose, bool list_all);
void port_info(int port);
bool port_probe(int port, int baud);

// portlist.cpp: the detailed port list of -L
int PortList(void);

// console.cpp: received bytes to stdout; messages on a line of their own
void console_banner(const char* mode);
void console_show(const unsigned char* data, int n);
void message_line(void);

// terminal.cpp
void TerminalMode(int port, int baud);
int next_tx_char(void);
void log_putc(int c);
void log_write(const unsigned char* data, int n);

// echoback.cpp
void EchobackMode(int port, int baud);

// bench.cpp
void Benchmark(int port, int baud);
void bench_send_block(void);
int bench_check_block(int index);
void hex_dump(const unsigned char* data, int count, int base);

#endif
