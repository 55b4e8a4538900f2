// platform.h - the operating-system services that kestrel uses, and nothing else.
//
// Serial port (one open at a time):
//   plat_port_open(n, baud, fmt)  open COMn exclusively and set it raw at baud with
//                             the framing and flow control of fmt (flow 0: Linux
//                             none, Windows the driver's), both queues flushed, break
//                             off, DTR and RTS up. 0 on success, -1 when the port
//                             can't be had. Settings the driver refuses (an odd baud
//                             rate, a framing) are not failures.
//   plat_port_queue()         bytes waiting in the receive queue, -1 if the query fails
//   plat_port_read(buf, n)    never waits: reads at most n of the bytes that are
//                             waiting now; returns the count read, 0 when none
//                             waits or on failure
//   plat_port_write(buf, n)   never waits: hands the port as many of the n bytes
//                             as it takes now (none while the far end holds
//                             back); returns that count, 0..n, or -1 on failure
//                             (then plat_port_hung_up tells a hang-up apart).
//                             The caller keeps what was not taken and offers it
//                             again once plat_wait_io reports room.
//   plat_port_open_name(s, baud, fmt)  the same for a port named by the user instead of
//                             by number (a path, or a name the system resolves)
//   plat_port_hung_up()       1 once a call above failed because the port hung up
//                             (far end closed, adapter unplugged), else 0
//   plat_port_error()         why the last open failed, as one line of text: the
//                             system's error text, or "busy: held by another
//                             program" for a port that another program holds
//   plat_port_close()
//   plat_port_rate(&baud)     the rate the open port runs at, as the driver reports
//                             it after the open: 0 with *baud set, -1 when unknown
// Network port, in place of the serial port (one open at a time):
//   plat_net_connect(host, port, why, size)  starts resolving host (a name, an
//                             IPv4 address, an IPv6 address without brackets)
//                             on a thread of its own, then the connect, without
//                             waiting: 0 started, -1 failed with the reason in why
//   plat_net_connected(ms, why, size)  waits at most ms for the connect: 1 made,
//                             0 not yet, -1 failed with the reason in why
//   plat_net_read(buf, n)     what the socket holds now, up to n: the count, 0
//                             when nothing waits, -1 once the far end closed or
//                             the connection broke; never waits
//   plat_net_write(buf, n)    what the socket takes now: 0..n, -1 once broken;
//                             never waits
//   plat_net_wait(ms)         blocks until the socket has bytes, or takes bytes
//                             again after a write it took short, or ms pass
//   plat_net_close()
// plat_wait also wakes for an open network port, as for the serial port.
//   plat_port_format(&fmt)    the framing and flow control the open port runs at, as
//                             the driver reports them: 0 with fmt set, -1 when unknown
//                             (flow '?' for a mix the options can't give)
//   plat_port_dtr(on), plat_port_rts(on), plat_port_break(on)
//                             raise (1) or drop (0) a modem line, start or end a break:
//                             0, or -1 when the port has none (a pseudo-terminal)
//   plat_port_lines(&m)       the six modem lines: 0 with m set, -1 as above
//   plat_port_out_queue()     bytes written that the driver has not sent yet, -1
//                             when unknown
// Port registry, read only; values are "COM<n>" strings:
//   plat_reg_open()           0, or -1 when there is no registry to read
//   plat_reg_value(i, d, sz)  value i into d: 1 for a string, 0 for another type,
//                             -1 past the last value or on any failure
//   plat_reg_close()
//   plat_port_props(n, p)     open COMn on its own and read its driver properties:
//                             1 with *p filled, 0 opened but no properties, -1 no open
// Detailed port list: every serial port the system knows, with what it tells
// about each (unknown fields are empty):
//   plat_list_ports(v)        fills *v with the ports, in the system's order
// Console and process:
//   plat_console_init()       keyboard raw without echo, stdout unbuffered; ending
//                             signals restore the console first (a signal that
//                             was ignored at the start stays so). A console that
//                             another process group has in the foreground is left
//                             alone and no keys are read from it.
//   plat_console_restore()    put the console back as it was found
//   plat_keys_typed()         1 when keys come from a console that someone types
//                             at (Linux: stdin is a terminal; Windows: the
//                             process has a console), 0 for a file or a pipe
//   plat_key_poll()           next key byte, or -1 when none is waiting; never waits
//   plat_keys_hold(hold)      while set, no key is read and no wait ends for a key
//                             that waits (the caller can take no more); an
//                             interrupt still ends a wait and makes plat_key_poll
//                             return 1 where keys come from a pipe
//   plat_wait(ms)             blocks until a byte waits on the port, a key waits, or
//                             ms pass; a port that hung up counts as nothing waiting,
//                             and with no port open only a key ends it early
//   plat_wait_io(ms, in, out) as plat_wait, where a received byte ends it only
//                             with in set, and with out set it also ends once
//                             the port has room for more output: the one wait
//                             of a loop whose output the port holds back (one
//                             that reads nothing meanwhile leaves in unset, or
//                             the waiting bytes would wake it at once). ms < 0:
//                             no deadline of the caller's; where something can't
//                             be waited on (a Windows serial port, a console in
//                             the background), the wait still ends after a short
//                             look, so nothing is missed for long
// Upload source (-u, -U):
//   plat_upload_open(path)    opens a file to read without ever waiting for it (a
//                             FIFO with no writer yet opens at once); 0, or -1
//                             (a directory is refused)
//   plat_upload_read(buf, n)  never waits: the count read, 0 at the end, -1 when
//                             nothing is there yet (a FIFO's writer is slow, or
//                             has not come yet: only one that came and went ends it)
//   plat_upload_close()
//   plat_sigint(ignore)       ignore the interrupt signal, or give back its default.
//                             While ignored, Ctrl-C, Ctrl-Z and Ctrl-\ on a Linux
//                             console are keys (0x03, 0x1A, 0x1C); where no console
//                             gives keys, an interrupt makes plat_key_poll return 1.
//   plat_exit(code)           restore the console and end the process
//   plat_clock_ms()           wall-clock milliseconds since the process started
//   plat_sleep_ms(ms)
// Console text and the time of day (-h, -T):
//   plat_console_unicode(s, n)  writes the UTF-8 text s to standard output and
//                             returns 1 where the console shows Unicode text (a
//                             Linux locale whose character set is UTF-8, a Windows
//                             console); else writes nothing and returns 0, and the
//                             caller writes its own bytes as they are
//   plat_console_block(s, n)  writes a block of received bytes to the console
//                             where that is faster than standard output and
//                             gives the terminal the same bytes (Linux: a big
//                             block, stdout the console, whose output processing
//                             only puts a CR before each LF) and returns 1; else
//                             writes nothing and returns 0
//   plat_local_time(t)        the local time of day, to the millisecond
#ifndef KESTREL_PLATFORM_H
#define KESTREL_PLATFORM_H

#include <vector>

struct line_format; // line_types.h
struct modem_state;

// The short look: the longest wait of a pass that moved nothing and looks
// for more, and of a wait on what can't be waited on.
#define IDLE_WAIT_MS 10

// The seven figures a serial driver reports about a port.
struct plat_props {
    long tx_queue;
    long rx_queue;
    unsigned long settable_baud;
    unsigned long max_baud;
    unsigned settable_data;
    unsigned long sub_type;
    unsigned long capabilities;
};

// One line of the detailed port list.
struct plat_port_desc {
    int com; // COM number, 0 for a node outside the COM table
    char device[256]; // device node, or the registry's device name
    char usb_id[16]; // "vvvv:pppp" of the USB device behind the port
    char uart[32]; // UART type of a built-in port
    char driver[64];
    char product[128]; // the USB device's product text
    char serial[128]; // the USB device's serial number
    char by_id[256]; // stable name under serial/by-id
    bool busy; // held by another program
};

int plat_port_open(int port, int baud, const line_format* fmt);
int plat_port_open_name(const char* name, int baud, const line_format* fmt);
int plat_port_format(line_format* fmt);
int plat_port_dtr(int on);
int plat_port_rts(int on);
int plat_port_break(int on);
int plat_port_lines(modem_state* m);
int plat_port_out_queue(void);
int plat_port_queue(void);
int plat_port_read(unsigned char* buf, int n);
int plat_port_write(const unsigned char* buf, int n);
int plat_port_hung_up(void);
const char* plat_port_error(void);
void plat_port_close(void);
int plat_port_rate(int* baud);

int plat_net_connect(const char* host, int port, char* why, int size);
int plat_net_connected(int ms, char* why, int size);
int plat_net_read(unsigned char* buf, int n);
int plat_net_write(const unsigned char* buf, int n);
void plat_net_wait(int ms);
void plat_net_close(void);

int plat_reg_open(void);
int plat_reg_value(int index, char* data, int size);
void plat_reg_close(void);
int plat_port_props(int port, plat_props* props);

void plat_list_ports(std::vector<plat_port_desc>* ports);

void plat_console_init(void);
void plat_console_restore(void);
int plat_key_poll(void);
int plat_keys_typed(void);
void plat_keys_hold(int hold);
void plat_wait(int ms);
void plat_wait_io(int ms, int in, int out);
int plat_upload_open(const char* path);
int plat_upload_read(unsigned char* buf, int n);
void plat_upload_close(void);
void plat_sigint(int ignore);
[[noreturn]] void plat_exit(int code);

// One program at a time, run on a command line (sh -c, cmd /c). Piped: its
// standard input and output are pipes that the caller pumps; otherwise it
// writes to the console (the keyboard stays the caller's). plat_run_start: 0, or -1 with the reason in why.
int plat_run_start(const char* cmd, int piped, char* why, int size);
int plat_run_read(unsigned char* buf, int n); // its output: count, 0 none yet, -1 ended
int plat_run_write(const unsigned char* buf, int n); // count taken now, -1 input closed
int plat_run_done(int* code); // 1 when it has exited (code: its exit code), else 0; its output stays readable
void plat_run_stop(void); // ends the program, its own process only
long plat_clock_ms(void);
void plat_sleep_ms(int ms);

// A local time of day.
struct plat_time {
    int hour, minute, second, msec;
};
int plat_console_unicode(const char* text, int n);
int plat_console_block(const unsigned char* data, int n);
void plat_local_time(plat_time* t);

#endif
