// portlist_posix.cpp - the detailed port list on Linux: the COM-table nodes,
// then the other tty nodes with a device behind them, each described from
// sysfs and the device folder's serial/by-id.
#include "platform/platform.h"
#include "platform/posix/posix_tty.h"
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

static void copy_text(char* dst, size_t size, const char* src)
{
    size_t i = 0;
    for (; src[i] && i + 1 < size; i++) // device texts are not ours to trust
        dst[i] = isprint((unsigned char)src[i]) ? src[i] : '?';
    dst[i] = 0;
}

// The last component of a symbolic link's target, such as a driver's name.
static bool link_name(const char* link, char* buf, size_t size)
{
    char target[PATH_MAX];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = 0;
    const char* slash = strrchr(target, '/');
    copy_text(buf, size, slash ? slash + 1 : target);
    return true;
}

bool foreign_device(const char* path)
{
    // Opening some devices acts (a watchdog starts counting), so a named node
    // that sysfs files under a class other than tty is never opened. Nodes
    // that sysfs does not know (pseudo-terminals) are left to the tty check.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    char link[PATH_MAX], kind[64];
    snprintf(link, sizeof link, "%s/dev/char/%u:%u/subsystem", KESTREL_SYS_DIR, major(st.st_rdev),
        minor(st.st_rdev));
    return link_name(link, kind, sizeof kind) && strcmp(kind, "tty") != 0;
}

static const char* uart_name(int type)
{
    static const char* const names[]
        = { "", "8250", "16450", "16550", "16550A", "Cirrus", "ST16650", "ST16650V2", "TI16750",
              "Startech", "16C950/954", "ST16654", "XR16850", "RSA", "NS16550A", "XScale" };
    return type > 0 && type < (int)(sizeof names / sizeof names[0]) ? names[type] : "";
}

// The USB device above a port's device: the first folder up that has idVendor.
static void describe_usb(char* dir, plat_port_desc* d)
{
    char path[PATH_MAX + 16], vendor[16], product[16];
    for (char* slash; (slash = strrchr(dir, '/')) != nullptr && slash != dir; *slash = 0) {
        snprintf(path, sizeof path, "%s/idVendor", dir);
        if (!read_text(path, vendor, sizeof vendor)) continue;
        snprintf(path, sizeof path, "%s/idProduct", dir);
        if (!read_text(path, product, sizeof product)) continue;
        snprintf(d->usb_id, sizeof d->usb_id, "%.4s:%.4s", vendor, product);
        char text[256];
        snprintf(path, sizeof path, "%s/product", dir);
        if (read_text(path, text, sizeof text)) copy_text(d->product, sizeof d->product, text);
        snprintf(path, sizeof path, "%s/serial", dir);
        if (read_text(path, text, sizeof text)) copy_text(d->serial, sizeof d->serial, text);
        return;
    }
}

static bool on_serial_base(const char* dir)
{
    char path[PATH_MAX + 16], bus[64];
    snprintf(path, sizeof path, "%s/subsystem", dir);
    return link_name(path, bus, sizeof bus) && strcmp(bus, "serial-base") == 0;
}

static void describe_sysfs(const char* name, plat_port_desc* d)
{
    char path[PATH_MAX + 16], dir[PATH_MAX], text[32];
    snprintf(path, sizeof path, "%s/class/tty/%s/type", KESTREL_SYS_DIR, name);
    if (read_text(path, text, sizeof text))
        copy_text(d->uart, sizeof d->uart, uart_name(atoi(text)));
    snprintf(path, sizeof path, "%s/class/tty/%s/device", KESTREL_SYS_DIR, name);
    if (!realpath(path, dir)) return;
    // Newer kernels put the serial core's own port and controller devices
    // (bus serial-base) between the tty and the device that drives it.
    for (char* slash; on_serial_base(dir) && (slash = strrchr(dir, '/')) != nullptr;)
        *slash = 0;
    snprintf(path, sizeof path, "%s/driver", dir);
    link_name(path, d->driver, sizeof d->driver);
    describe_usb(dir, d);
}

// The first serial/by-id name that leads to the same node.
static void describe_by_id(const struct stat* node, plat_port_desc* d)
{
    char folder[PATH_MAX], path[PATH_MAX * 2];
    snprintf(folder, sizeof folder, "%s/serial/by-id", KESTREL_DEV_DIR);
    struct dirent** names;
    int n = scandir(folder, &names, nullptr, alphasort);
    for (int i = 0; i < n; i++) {
        struct stat st;
        snprintf(path, sizeof path, "%s/%s", folder, names[i]->d_name);
        if (!d->by_id[0] && names[i]->d_name[0] != '.' && stat(path, &st) == 0
            && S_ISCHR(st.st_mode) && st.st_rdev == node->st_rdev)
            copy_text(d->by_id, sizeof d->by_id, names[i]->d_name);
        free(names[i]);
    }
    if (n >= 0) free(names);
}

static bool all_digits(const char* s)
{
    if (!*s) return false;
    for (; *s; s++)
        if (!isdigit((unsigned char)*s)) return false;
    return true;
}

// True when another process has the node open. It reads /proc and never
// opens the port itself: an open raises DTR on a free port, which resets
// many boards. The kernel shows a normal user only the open files of their
// own processes, so the lock table (/proc/locks, open to all) covers the
// other users' programs that lock their port as kestrel does.
static bool held_elsewhere(const char* node_path, const struct stat* node)
{
    char real[PATH_MAX], fds[300], path[PATH_MAX], target[PATH_MAX];
    if (!realpath(node_path, real)) return false;
    DIR* proc = opendir("/proc");
    bool held = false;
    for (struct dirent* p; proc && !held && (p = readdir(proc)) != nullptr;) {
        if (!all_digits(p->d_name) || atoi(p->d_name) == (int)getpid()) continue;
        snprintf(fds, sizeof fds, "/proc/%s/fd", p->d_name);
        DIR* fd_dir = opendir(fds);
        for (struct dirent* f; fd_dir && !held && (f = readdir(fd_dir)) != nullptr;) {
            snprintf(path, sizeof path, "%s/%s", fds, f->d_name);
            ssize_t n = readlink(path, target, sizeof target - 1);
            held = n > 0 && (target[n] = 0, strcmp(target, real) == 0);
        }
        if (fd_dir) closedir(fd_dir);
    }
    if (proc) closedir(proc);
    FILE* locks = fopen("/proc/locks", "r");
    char line[256];
    unsigned maj, min;
    unsigned long ino;
    while (locks && !held && fgets(line, sizeof line, locks))
        held = !strstr(line, "->")
            && sscanf(line, "%*s %*s %*s %*s %*d %x:%x:%lu", &maj, &min, &ino) == 3
            && maj == major(node->st_dev) && min == minor(node->st_dev) && ino == node->st_ino;
    if (locks) fclose(locks);
    return held;
}

static void add_port(std::vector<plat_port_desc>* ports, int com, const char* path)
{
    plat_port_desc d;
    memset(&d, 0, sizeof d);
    d.com = com;
    copy_text(d.device, sizeof d.device, path);
    describe_sysfs(strrchr(path, '/') + 1, &d);
    struct stat st;
    if (stat(path, &st) == 0) {
        describe_by_id(&st, &d);
        d.busy = held_elsewhere(path, &st);
    }
    ports->push_back(d);
}

static bool in_com_table(const char* name)
{
    char path[512];
    for (int port = 1; port <= 99; port++)
        if (com_path(port, path, sizeof path) && strcmp(strrchr(path, '/') + 1, name) == 0)
            return true;
    return false;
}

void plat_list_ports(std::vector<plat_port_desc>* ports)
{
    char path[PATH_MAX];
    for (int port = 1; port <= 99; port++)
        if (com_path(port, path, sizeof path) && serial_node(path)) add_port(ports, port, path);
    // Then the tty nodes with a device behind them that the table does not
    // reach (ttyXRUSB, rfcomm, ttymxc, ttyTHS...), in their natural order.
    char folder[PATH_MAX];
    snprintf(folder, sizeof folder, "%s/class/tty", KESTREL_SYS_DIR);
    struct dirent** names;
    int n = scandir(folder, &names, nullptr, versionsort);
    for (int i = 0; i < n; i++) {
        const char* name = names[i]->d_name;
        char device[PATH_MAX + 300];
        snprintf(device, sizeof device, "%s/%s/device", folder, name);
        snprintf(path, sizeof path, "%s/%s", KESTREL_DEV_DIR, name);
        if (name[0] != '.' && !in_com_table(name) && access(device, F_OK) == 0 && serial_node(path))
            add_port(ports, 0, path);
        free(names[i]);
    }
    if (n >= 0) free(names);
}
