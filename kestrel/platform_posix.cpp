// platform_posix.cpp - the platform layer on Linux: COM numbers name tty nodes,
// the "registry" is the set of those nodes that exist, the keyboard is stdin.
#include "platform.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <climits>
#include <libgen.h>
#include <linux/serial.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifndef KESTREL_DEV_DIR
#define KESTREL_DEV_DIR "/dev"
#endif

// The kernel's termios with free input and output speeds (TCGETS2/TCSETS2);
// glibc's <termios.h> does not declare it and clashes with <asm/termbits.h>.
struct termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#ifndef BOTHER
#define BOTHER 0010000
#endif

// ---- COM number to device node --------------------------------------------

// COM1-32 ttyS0-31, COM33-64 ttyUSB0-31, COM65-96 ttyACM0-31, COM97-99 ttyAMA0-2.
static bool com_path(int port, char* path, size_t size)
{
    static const char* const groups[] = { "ttyS", "ttyUSB", "ttyACM", "ttyAMA" };
    if (port < 1 || port > 99) return false;
    int g = (port - 1) / 32;
    snprintf(path, size, "%s/%s%d", KESTREL_DEV_DIR, groups[g], (port - 1) % 32);
    return true;
}

// Opens a node for exclusive use: a second opener (another kestrel, a modem
// tool) fails here, the way an unshared CreateFileA does.
static int open_exclusive(int port)
{
    char path[512];
    if (!com_path(port, path, sizeof path)) return -1;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    // A plain file where the node belongs (left by writing to an unplugged
    // adapter's name) or any other node that is no terminal is no port.
    if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---- the serial channel -----------------------------------------------------

static int port_fd = -1;

static void set_speed(int fd, int baud)
{
    struct termios2 t2;
    if (ioctl(fd, TCGETS2, &t2) != 0) return;
    t2.c_cflag &= ~CBAUD;
    t2.c_cflag |= BOTHER;
    t2.c_ispeed = t2.c_ospeed = (speed_t)baud;
    ioctl(fd, TCSETS2, &t2); // a refused rate leaves the old one
}

static void set_raw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

int plat_port_open(int port, int baud)
{
    int fd = open_exclusive(port);
    if (fd < 0) return -1;
    ioctl(fd, TIOCEXCL);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK); // writes block, as WriteFile does
    set_raw(fd);
    set_speed(fd, baud);
    tcflush(fd, TCIOFLUSH);
    ioctl(fd, TIOCCBRK);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines); // pseudo-terminals refuse this; that is fine
    port_fd = fd;
    return 0;
}

int plat_port_queue(void)
{
    int n = 0;
    if (ioctl(port_fd, FIONREAD, &n) != 0) return -1;
    return n;
}

int plat_port_read(unsigned char* buf, int n)
{
    int got = 0;
    while (got < n) {
        ssize_t r = read(port_fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += (int)r;
        if (got < n && plat_port_queue() <= 0) break; // never wait for more
    }
    return got;
}

int plat_port_write(const unsigned char* buf, int n)
{
    int done = 0;
    while (done < n) {
        ssize_t r = write(port_fd, buf + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += (int)r;
    }
    return done;
}

void plat_port_close(void)
{
    if (port_fd < 0) return;
    ioctl(port_fd, TIOCNXCL);
    close(port_fd);
    port_fd = -1;
}

// ---- registered ports -------------------------------------------------------

static int reg_ports[99];
static int reg_count;

static bool read_text(const char* path, char* buf, size_t size)
{
    FILE* f = fopen(path, "r");
    if (!f) return false;
    bool ok = fgets(buf, (int)size, f) != nullptr;
    fclose(f);
    return ok;
}

// A legacy ttyS node with no UART behind it: the kernel reports type 0 (unknown).
static bool dead_uart(const char* path)
{
    char real[PATH_MAX], sys[PATH_MAX + 32], text[32];
    if (!realpath(path, real)) return false;
    const char* name = basename(real);
    if (strncmp(name, "ttyS", 4) != 0) return false;
    snprintf(sys, sizeof sys, "/sys/class/tty/%s/type", name);
    if (read_text(sys, text, sizeof text)) return atoi(text) == 0;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct serial_struct ss;
    bool dead = ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type == PORT_UNKNOWN;
    close(fd);
    return dead;
}

int plat_reg_open(void)
{
    reg_count = 0;
    char path[512];
    struct stat st;
    for (int port = 1; port <= 99; port++) {
        com_path(port, path, sizeof path);
        if (stat(path, &st) != 0 || !S_ISCHR(st.st_mode) || dead_uart(path)) continue;
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

// ---- console and process ----------------------------------------------------

static bool console_raw;
static bool stdin_done;
static struct termios console_saved;
static struct termios console_keys; // the raw mode of the run

void plat_console_restore(void)
{
    if (console_raw) tcsetattr(STDIN_FILENO, TCSANOW, &console_saved);
    console_raw = false;
}

static void on_fatal_signal(int sig)
{
    if (console_raw) tcsetattr(STDIN_FILENO, TCSANOW, &console_saved);
    signal(sig, SIG_DFL);
    raise(sig); // ends the process once the handler returns
}

static void set_handler(int sig, void (*handler)(int))
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // The stop handler raises its own signal and must receive it at once.
    if (sig == SIGTSTP) sa.sa_flags = SA_NODEFER;
    sigaction(sig, &sa, nullptr);
}

// Ctrl-Z: the shell gets its console back while kestrel is stopped, and the
// keys go raw again when it is continued.
static void on_stop_signal(int sig)
{
    if (console_raw) tcsetattr(STDIN_FILENO, TCSANOW, &console_saved);
    signal(sig, SIG_DFL);
    raise(sig); // stops here until SIGCONT
    set_handler(sig, on_stop_signal);
    if (console_raw) tcsetattr(STDIN_FILENO, TCSANOW, &console_keys);
}

void plat_console_init(void)
{
    fflush(stdout); // the port list may already wait in the buffer
    setvbuf(stdout, nullptr, _IONBF, 0);
    stdin_done = false;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &console_saved) != 0) return;
    struct termios t = console_saved;
    // Keys arrive one by one without echo; ISIG stays so Ctrl-C is an interrupt,
    // OPOST stays so a received LF shows as a line end. Enter gives CR.
    t.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
    t.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // SIGPIPE: the program reading our output (kestrel | tee ...) went away.
    const int sigs[] = { SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE };
    for (int sig : sigs)
        set_handler(sig, on_fatal_signal);
    set_handler(SIGTSTP, on_stop_signal);
    console_keys = t;
    console_raw = true;
    tcsetattr(STDIN_FILENO, TCSANOW, &t);
}

int plat_key_poll(void)
{
    if (stdin_done) return -1;
    struct pollfd pfd = { STDIN_FILENO, POLLIN, 0 };
    if (poll(&pfd, 1, 0) <= 0) {
        // Every mode polls here once a pass. Without sleeping, let any other
        // runnable process (the far end, a pty relay) have the CPU: on a small
        // machine a spinning loop otherwise starves the echo it waits for.
        sched_yield();
        return -1;
    }
    unsigned char c;
    ssize_t r = read(STDIN_FILENO, &c, 1);
    if (r == 1) return c;
    if (r == 0 || (errno != EINTR && errno != EAGAIN)) stdin_done = true; // no more keys
    return -1;
}

void plat_sigint(int ignore)
{
    set_handler(SIGINT, ignore ? SIG_IGN : (console_raw ? on_fatal_signal : SIG_DFL));
}

void plat_exit(int code)
{
    plat_console_restore();
    fflush(stdout);
    exit(code);
}

static long long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static const long long start_ms = now_ms();

long plat_clock_ms(void)
{
    return (long)(now_ms() - start_ms);
}

void plat_sleep_ms(int ms)
{
    struct timespec ts = { ms / 1000, (ms % 1000) * 1000000L };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}
