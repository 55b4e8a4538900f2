// portlist.h - the detailed port list of -L.
#ifndef KESTREL_PORTLIST_H
#define KESTREL_PORTLIST_H

int PortList(void); // the exit code

#endif
