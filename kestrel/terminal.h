// terminal.h - the raw terminal: keys and an optional upload go out, the
// port comes in, to the console and the log.
#ifndef KESTREL_TERMINAL_H
#define KESTREL_TERMINAL_H

// From next_tx_char besides a byte: nothing to send, the next upload block is due.
enum { TX_NONE = -1, TX_UPLOAD = -2 };

void TerminalMode(int port, int baud);
// The terminal on a port a script has open (its interact step): the session
// and the log go on; the port is closed at the end.
void terminal_interact(int port, int baud);
int next_tx_char(void);
void log_write(const unsigned char* data, int n);

// The receive path, shared with the script runner. receive_start takes -T
// and -x for the session; receive_block takes every byte waiting, up to a
// buffer: one read, one log write, one console write. It returns the count
// and, when got is set, where the bytes are until the next call.
void receive_start(void);
int receive_block(const unsigned char** got);

// The upload of -u, and of a script's upload step: upload_start opens the
// source (false: it can't be read); send_upload_block writes its next block
// when the source has one now (1: a block went out, 0: the end, the source
// closed; -1: nothing yet); drop_upload ends it early and says so, naming
// what cut it short.
bool upload_start(const char* path);
int send_upload_block(void);
void drop_upload(const char* by);

#endif
