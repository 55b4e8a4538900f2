// terminal.h - the raw terminal: keys and an optional upload go out, the
// port comes in, to the console and the log.
#ifndef KESTREL_TERMINAL_H
#define KESTREL_TERMINAL_H

// From next_tx_char besides a byte: nothing to send, the next upload block is due.
enum { TX_NONE = -1, TX_UPLOAD = -2 };

void TerminalMode(int port, int baud);
int next_tx_char(void);
void log_write(const unsigned char* data, int n);

#endif
