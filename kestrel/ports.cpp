// ports.cpp - registered COM ports: scan, property line and the "U" probe.
#include "ports.h"
#include "channel.h"
#include "linectl.h"
#include "options.h"
#include "platform/platform.h"
#include <cstring>

static bool port_present[100];

// Marks every registered COM1..COM99; false when there is no registry to read.
static bool read_registry(void)
{
    memset(port_present, 0, sizeof port_present);
    if (plat_reg_open() != 0) return false;
    char data[256];
    for (int i = 0; i < 99; i++) {
        int type = plat_reg_value(i, data, sizeof data);
        if (type < 0) break;
        int n = 0;
        // the number follows the three letters "COM"
        if (type == 1 && strlen(data) >= 3 && sscanf(data + 3, "%d", &n) == 1 && n >= 1 && n <= 99)
            port_present[n] = true;
    }
    plat_reg_close();
    return true;
}

int PortScan(int port, int baud, bool verbose, bool list_all)
{
    if (verbose) printf("==== COM Port List====\n");
    if (!read_registry()) return 0;
    if (port >= 1 && port <= 99 && port_present[port]) {
        if (verbose) port_info(port);
        if (port_probe(port, baud)) return port;
    }
    for (int n = 99; n >= 1; n--) {
        if (!port_present[n]) continue;
        if (verbose) port_info(n);
        if (!list_all) return n;
    }
    return 0;
}

void port_info(int port)
{
    printf("COM%d:", port);
    plat_props p;
    int got = plat_port_props(port, &p);
    if (got < 0) {
        printf(" Can't Open .\n");
        return;
    }
    if (got > 0)
        printf("TxQue=%ld,RxQue=%ld,Baud=0x%lx,BaudMax=0x%lx,Bits=0x%x,SubType=%lx,Capa=%lx ",
            p.tx_queue, p.rx_queue, p.settable_baud, p.max_baud, p.settable_data, p.sub_type,
            p.capabilities);
    printf("\n");
}

bool port_probe(int port, int baud)
{
    RS_open(port, baud);
    RS_putc(0xaa);
    RS_putc(0xa5);
    plat_sleep_ms(32);
    if (RS_checkdata() == 0) {
        RS_close();
        return false;
    }
    unsigned char c = 0;
    RS_read(&c, 1);
    RS_close();
    return c == 0x55;
}
