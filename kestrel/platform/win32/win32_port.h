// win32_port.h - what the Windows platform files share: the COM port's open
// for the port list and the properties, and the Ctrl-C setting the port's
// console handler reads.
#ifndef KESTREL_WIN32_PORT_H
#define KESTREL_WIN32_PORT_H

#include <winsock2.h>
#include <windows.h>

// Opens COMn by its "\\.\COMn" name, exclusively.
HANDLE open_com(int port, DWORD attributes);
// A COM port is open (its bytes can't be waited on).
bool com_port_open(void);
// plat_sigint: Ctrl-C does not end the run.
extern volatile LONG sigint_ignored;

#endif
