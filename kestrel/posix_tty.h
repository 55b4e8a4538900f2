// posix_tty.h - shared by the Linux platform units: COM number to tty node,
// the console's key source.
#ifndef KESTREL_POSIX_TTY_H
#define KESTREL_POSIX_TTY_H

#include <cstddef>

// COM1-32 ttyS0-31, COM33-64 ttyUSB0-31, COM65-96 ttyACM0-31, COM97-99 ttyAMA0-2.
bool com_path(int port, char* path, size_t size);
// Opens COMn for exclusive use; -1 when it can't be had or is no terminal.
int open_exclusive(int port);
// fd to watch for keys, -1 when no key will be read
int console_key_fd(void);

#endif
