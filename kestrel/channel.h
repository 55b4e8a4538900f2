// channel.h - the one serial channel (serial.cpp): a local port or a network
// port behind the same RS_ operations.
//
// No RS_ call waits for the port. RS_read takes at most n of the bytes that
// are waiting (0 when none). RS_write queues all n bytes in order and hands
// the port what it takes now; RS_flush offers the queue again, RS_pending
// counts what is still queued, and RS_wait waits for a key, a received byte
// (unless input is false: a caller that reads nothing meanwhile) or, while
// output is queued, room at the port. A caller holds back its
// next output while RS_pending is above what it is willing to queue. A failed
// write is fatal (RS_fatal); a short one is not. RS_close drops the queue.
// Any channel behind these calls (a device, a network port) keeps that contract.
#ifndef KESTREL_CHANNEL_H
#define KESTREL_CHANNEL_H

#include "line_types.h"

#define RX_BLOCK 65536 // most bytes one receive pass takes from the port
#define NO_DEADLINE (-1) // a wait that ends only for a byte, room, a key or a signal

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
// The modem lines and the break: 0, or -1 when the port has no modem lines.
int RS_set_dtr(int on);
int RS_set_rts(int on);
int RS_set_break(int on);
int RS_out_queue(void);
int RS_lines(modem_state* m);
// Runs after every open with the framing the port reports (null: unknown,
// or reported already this session); false ends the session (Ctrl-A).
void RS_on_open(bool (*line_ready)(const line_format* got));
// How messages name the open port: COMn, or the name the user gave.
const char* RS_name(void);
// A mode's open: under -w it waits for the port (false: Ctrl-A ended the
// wait); it warns once when the driver runs at another rate.
bool RS_start(int port, int baud, bool reconnect);
// Under -w in a mode that reconnects: the port hung up, and the wait for it.
bool RS_hung_up(void);
bool RS_reconnect(int port, int baud);
// After RS_close: opens the port again, waiting for it as -w does (false:
// Ctrl-A ended the wait).
bool RS_reopen(int port, int baud);

#endif
