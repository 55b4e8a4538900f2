// portlist.cpp - kestrel -L: one line per serial port with what the system
// can tell about it, highest COM number first, then the nodes outside the
// COM table. Fields are separated by two blanks; unknown ones are left out.
#include "portlist.h"
#include <cstdio>
#include "platform/platform.h"
#include <algorithm>
#include <vector>

static void print_port(const plat_port_desc& d)
{
    char com[16] = "-";
    if (d.com > 0) snprintf(com, sizeof com, "COM%d", d.com);
    printf("%-5s  %s", com, d.device);
    if (d.usb_id[0]) printf("  usb %s", d.usb_id);
    if (d.uart[0]) printf("  uart %s", d.uart);
    if (d.driver[0]) printf("  %s", d.driver);
    if (d.product[0]) printf("  \"%s\"", d.product);
    if (d.serial[0]) printf("  serial %s", d.serial);
    if (d.by_id[0]) printf("  by-id %s", d.by_id);
    if (d.busy) printf("  busy");
    printf("\n");
}

int PortList(void)
{
    std::vector<plat_port_desc> ports;
    plat_list_ports(&ports);
    // Nodes outside the table (COM 0) keep the platform's order at the end.
    std::stable_sort(ports.begin(), ports.end(),
        [](const plat_port_desc& a, const plat_port_desc& b) { return a.com > b.com; });
    for (const plat_port_desc& d : ports)
        print_port(d);
    if (ports.empty()) printf("no serial ports\n");
    return 0;
}
