// kestrel.h - raw serial terminal: process-wide state and prototypes, by file.
#ifndef KESTREL_H
#define KESTREL_H

#include <cstdio>
#include <string>

struct plat_time;

#define ESCAPE_KEY 1 // Ctrl-A
#define RX_BLOCK 65536 // most bytes one receive pass takes from the port
#define IDLE_WAIT_MS 10 // longest wait of a pass that moved nothing and looks for more
#define NO_DEADLINE (-1) // a wait that ends only for a byte, room, a key or a signal

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

// The line's framing and flow control (-m, -f), set on every open.
struct line_format {
    int data_bits; // 5 to 8
    char parity; // 'N' none, 'E' even, 'O' odd, 'M' mark, 'S' space
    int stop_bits; // 1 or 2
    char flow; // 'n' none, 'h' RTS/CTS, 's' XON/XOFF; 0: as the port has it
};
extern line_format line_fmt;

// The modem lines: 1 asserted, as the operating system reports them.
struct modem_state {
    int dtr, rts, cts, dsr, dcd, ri;
};

// serial.cpp: the one serial channel and the keyboard.
// No RS_ call waits for the port. RS_read takes at most n of the bytes that
// are waiting (0 when none). RS_write queues all n bytes in order and hands
// the port what it takes now; RS_flush offers the queue again, RS_pending
// counts what is still queued, and RS_wait waits for a key, a received byte
// (unless input is false: a caller that reads nothing meanwhile) or, while
// output is queued, room at the port. A caller holds back its
// next output while RS_pending is above what it is willing to queue. A failed
// write is fatal (RS_fatal); a short one is not. RS_close drops the queue.
// Any channel behind these calls (a device, a network port) keeps that contract.
int RS_open(int port, int baud);
int RS_checkdata(void);
int RS_read(unsigned char* buf, int n);
int RS_write(const unsigned char* buf, int n);
int RS_putc(int c);
int RS_pending(void);
int RS_flush(void); // the count the port took
void RS_wait(int ms, bool input);
void RS_hold_input(void); // reads what waits into memory, for RS_read to give later
void RS_close(void);
[[noreturn]] void RS_fatal(const char* msg);
// A mode that holds received bytes back from the console gives them up here
// before a fatal end (nullptr: none).
void RS_on_fatal(void (*give_up_held)(void));
int key_poll(void);
// Keys read while a -r wait watched for Ctrl-A: key_poll gives them first.
void key_keep(int key);
// The modem lines and the break: 0, or -1 when the port has no modem lines.
int RS_set_dtr(int on);
int RS_set_rts(int on);
int RS_set_break(int on);
int RS_out_queue(void);
int RS_lines(modem_state* m);
// How messages name the open port: COMn, or the name the user gave.
const char* RS_name(void);
// A mode's open: under -w it waits for the port (false: Ctrl-A ended the
// wait); it warns once when the driver runs at another rate.
bool RS_start(int port, int baud, bool reconnect);
// Under -w in a mode that reconnects: the port hung up, and the wait for it.
bool RS_hung_up(void);
bool RS_reconnect(int port, int baud);

// netport.cpp: a port on the network, rfc2217://HOST:PORT or tcp://HOST:PORT
struct net_url {
    bool rfc2217; // else raw TCP
    char host[256]; // a name or an address, IPv6 without its brackets
    int port;
};
// 1: text is a network URL, now in *u; -1: it is one, but bad (why says how);
// 0: it is no URL at all (no "://").
int net_parse_url(const char* text, net_url* u, const char** why);
// Connects and sets the remote port at baud with the framing and flow control
// of fmt; label names it in warnings. 0 open, -1 failed with the reason in
// why, -2 Ctrl-A ended the connect.
int net_open(
    const net_url* u, const char* label, int baud, const line_format* fmt, char* why, int size);
int net_queue(void); // data waiting; -1 once closed and read to the end
int net_read(unsigned char* buf, int n);
int net_write(const unsigned char* buf, int n); // takes 0..n now, never waits; -1 closed
bool net_pending(void); // output taken and not yet sent
int net_hung_up(void);
int net_rate(int* baud);
int net_format(line_format* fmt); // as the server confirmed it; -1 when it did not
void net_close(void);
void net_forget_warnings(void);
int net_set_dtr(int on); // 0, or -1 when the port has no modem lines
int net_set_rts(int on);
int net_set_break(int on);
int net_lines(modem_state* m);
// linectl.cpp: -r sequences and the -k command key, over the RS_ operations
#define COMMAND_KEY 0x14 // Ctrl-T
#define KEY_END (-3) // from linectl_key: the session ends
bool linectl_parse(void); // -m, -f, -r, -k; false: a message names what is bad
void linectl_start(void); // a fresh open: DTR and RTS are up
void linectl_check(const line_format* got); // warns when the port kept another framing
bool linectl_run(void); // runs the -r sequence; false when Ctrl-A ended it
int linectl_key(int key); // a typed key: the byte to send, -1 none, KEY_END
bool linectl_command_pending(void); // Ctrl-T came: the next key is a command
bool linectl_acts_alone(int key); // after Ctrl-T: a command, not a byte to send
// One -r step, as a script's line step: 'd' DTR or 'r' RTS (0 or 1), 'b' a break, 'w' a wait
bool linectl_parse_step(const std::string& word, char* what, int* value);
extern const char LINE_STEP_HELP[]; // what a bad step should be, in -r's words

// ports.cpp: registered ports, their properties and the probe
int PortScan(int port, int baud, bool verbose, bool list_all);
void port_info(int port);
bool port_probe(int port, int baud);

// portlist.cpp: the detailed port list of -L
int PortList(void);

// console.cpp: received bytes to stdout; messages on a line of their own
void console_banner(const char* mode);
void console_show(const unsigned char* data, int n, const plat_time* at = nullptr);
void message_line(void);
void console_view(bool stamps, bool hex);

// view.cpp: received bytes with -T time stamps and as the -x hex view
struct rx_view {
    bool stamps; // each line starts with the local time of its first byte
    bool hex; // hex pairs, 16 to a line
    int on_line; // pairs on the open hex line (text: 1 while a line is open); 0 at a line start
};
void view_render(
    rx_view* v, const unsigned char* data, int n, const plat_time* at, std::string* out);

// terminal.cpp
void TerminalMode(int port, int baud);
int next_tx_char(void);
void log_putc(int c);
void log_write(const unsigned char* data, int n);

// echoback.cpp
void EchobackMode(int port, int baud);

// bench.cpp; Benchmark returns the exit code: 2 for a time-out or a bad block
int Benchmark(int port, int baud);
void bench_send_block(void);
int bench_check_block(int index);
void hex_dump(const unsigned char* data, int count, int base);

#endif
