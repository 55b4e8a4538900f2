// posix_tty.h - shared by the Linux platform units: COM number to tty node,
// the port's exclusive flag and the console's keys.
#ifndef KESTREL_POSIX_TTY_H
#define KESTREL_POSIX_TTY_H

#include <cstddef>

// COM1-32 ttyS0-31, COM33-64 ttyUSB0-31, COM65-96 ttyACM0-31, COM97-99 ttyAMA0-2.
bool com_path(int port, char* path, size_t size);
// Opens COMn for exclusive use; -1 when it can't be had or is no terminal.
int open_exclusive(int port);
// Clears the open port's exclusive flag (TIOCNXCL); async-signal-safe.
void port_release(void);
// From the first call on, ending signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT,
// SIGPIPE, ...) release the port and put the console back before they end
// the process.
void catch_ending_signals(void);
int console_key_fd(void); // fd to watch for keys, -1 when no key will be read

#endif
