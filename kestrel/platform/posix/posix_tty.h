// posix_tty.h - shared by the Linux platform units: COM number or name to tty
// node, the exclusive open, where the device and sysfs folders are, and the
// console's key source.
#ifndef KESTREL_POSIX_TTY_H
#define KESTREL_POSIX_TTY_H

#include <cstddef>

#ifndef KESTREL_DEV_DIR
#define KESTREL_DEV_DIR "/dev"
#endif
#ifndef KESTREL_SYS_DIR
#define KESTREL_SYS_DIR "/sys"
#endif

// COM1-32 ttyS0-31, COM33-64 ttyUSB0-31, COM65-96 ttyACM0-31, COM97-99 ttyAMA0-2.
bool com_path(int port, char* path, size_t size);
// The node that a name given with -c stands for; false when it is too long.
bool name_path(const char* name, char* path, size_t size);
// Opens COMn, or a node, for exclusive use; -1 when it can't be had or is no terminal.
int open_exclusive(int port);
int open_exclusive_path(const char* path);

// registry_posix.cpp: a node the COM table counts: a character device, and
// for a ttyS node a UART behind it.
bool serial_node(const char* path);
// True when sysfs knows the node as a device of another kind than a tty.
bool foreign_device(const char* path);
// The first line of a sysfs attribute, without its line end; false when unreadable.
bool read_text(const char* path, char* buf, size_t size);

// Clears the open port's exclusive flag (TIOCNXCL); async-signal-safe.
void port_release(void);

// net_posix.cpp: the open network port's socket, -1 when none; true when the
// last write fell short (a wait then watches for room as well).
int net_socket(void);
bool net_send_blocked(void);

// console_posix.cpp: from the first call on, ending signals (SIGINT, SIGTERM,
// SIGHUP, SIGQUIT, SIGPIPE, ...) release the port and put the console back
// before they end the process. A signal ignored at the start stays ignored.
void catch_ending_signals(void);
// fd to watch for keys, -1 when no key will be read
int console_key_fd(void);
// The time-out for a wait of ms (< 0: none): one that no event would end
// looks now and then all the same.
int console_wait_ms(int ms);

#endif
