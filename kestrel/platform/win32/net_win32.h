// net_win32.h - what the Windows console's wait needs of the network port.
#ifndef KESTREL_NET_WIN32_H
#define KESTREL_NET_WIN32_H

#include <winsock2.h>
#include <windows.h>

// The open network port's event, set when its socket has bytes, takes bytes
// again or closed; NULL when no network port is open.
HANDLE net_event(void);
// The last write fell short.
bool net_send_blocked(void);
// Clears the event after a wait saw it set.
void net_event_seen(void);

#endif
