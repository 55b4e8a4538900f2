// registry_posix.cpp - the "registry" on Linux: the COM-table nodes that exist,
// and the driver figures of one port.
#include "platform/platform.h"
#include "platform/posix/posix_tty.h"
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// ---- registered ports -------------------------------------------------------

static int reg_ports[99];
static int reg_count;

bool read_text(const char* path, char* buf, size_t size)
{
    FILE* f = fopen(path, "r");
    if (!f) return false;
    bool ok = fgets(buf, (int)size, f) != nullptr;
    fclose(f);
    if (ok) buf[strcspn(buf, "\n")] = 0;
    return ok;
}

// A legacy ttyS node with no UART behind it: the kernel reports type 0 (unknown).
// The node's name in the device folder is the kernel's name for it.
static bool dead_uart(const char* path)
{
    char sys[PATH_MAX + 32], text[32];
    const char* name = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
    if (strncmp(name, "ttyS", 4) != 0) return false;
    snprintf(sys, sizeof sys, "%s/class/tty/%s/type", KESTREL_SYS_DIR, name);
    if (read_text(sys, text, sizeof text)) return atoi(text) == 0;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct serial_struct ss;
    bool dead = ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type == PORT_UNKNOWN;
    close(fd);
    return dead;
}

bool serial_node(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISCHR(st.st_mode) && !dead_uart(path);
}

int plat_reg_open(void)
{
    reg_count = 0;
    char path[512];
    for (int port = 1; port <= 99; port++) {
        com_path(port, path, sizeof path);
        if (!serial_node(path)) continue;
        reg_ports[reg_count++] = port;
    }
    return 0;
}

int plat_reg_value(int index, char* data, int size)
{
    if (index < 0 || index >= reg_count) return -1;
    if (snprintf(data, size, "COM%d", reg_ports[index]) >= size) return -1;
    return 1;
}

void plat_reg_close(void)
{
}

// Maps a UART base rate to the driver's single-rate flag, 0 when there is none.
static unsigned long baud_flag(int rate)
{
    switch (rate) {
    case 9600:
        return 0x800;
    case 19200:
        return 0x2000;
    case 38400:
        return 0x4000;
    case 57600:
        return 0x40000;
    case 115200:
        return 0x20000;
    default:
        return 0;
    }
}

int plat_port_props(int port, plat_props* p)
{
    int fd = open_exclusive(port);
    if (fd < 0) return -1;
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        close(fd);
        return 0;
    }
    // The figures of a standard RS-232 port driver: no fixed transmit queue,
    // a 4096-byte receive queue, 75..115200 baud and any rate (BAUD_USER),
    // 5 to 8 data bits, RS-232 subtype, the eight usual capability flags.
    p->tx_queue = 0;
    p->rx_queue = 4096;
    p->settable_baud = 0x1006ffff;
    p->max_baud = 0x10000000;
    p->settable_data = 0x000f;
    p->sub_type = 1;
    p->capabilities = 0xff;
    struct serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && baud_flag(ss.baud_base) != 0)
        p->max_baud = baud_flag(ss.baud_base); // a UART that states its top rate
    close(fd);
    return 1;
}
