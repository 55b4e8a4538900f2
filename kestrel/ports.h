// ports.h - registered ports, their properties and the probe (-p, and the
// scan that picks a port when -c gives none).
#ifndef KESTREL_PORTS_H
#define KESTREL_PORTS_H

int PortScan(int port, int baud, bool verbose, bool list_all);
void port_info(int port);
bool port_probe(int port, int baud);

#endif
