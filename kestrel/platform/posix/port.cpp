// port_posix.cpp - the serial channel on Linux: a COM number or a name given
// with -c stands for a tty node, opened exclusively and set raw.
#include "platform/platform.h"
#include "line_types.h"
#include "platform/posix/posix_tty.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

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
bool com_path(int port, char* path, size_t size)
{
    static const char* const groups[] = { "ttyS", "ttyUSB", "ttyACM", "ttyAMA" };
    if (port < 1 || port > 99) return false;
    int g = (port - 1) / 32;
    snprintf(path, size, "%s/%s%d", KESTREL_DEV_DIR, groups[g], (port - 1) % 32);
    return true;
}

// A name given with -c: a path when it holds a '/', else a stable name under
// serial/by-id, else a node of the device folder. False when it is too long
// (cut short, it could name another node).
bool name_path(const char* name, char* path, size_t size)
{
    struct stat st;
    if (strchr(name, '/')) return (size_t)snprintf(path, size, "%s", name) < size;
    if ((size_t)snprintf(path, size, "%s/serial/by-id/%s", KESTREL_DEV_DIR, name) < size
        && stat(path, &st) == 0)
        return true;
    return (size_t)snprintf(path, size, "%s/%s", KESTREL_DEV_DIR, name) < size;
}

static const char BUSY[] = "busy: held by another program";
static const char NO_PORT[] = "not a serial port"; // a node of another kind, a file
static const char* open_error = ""; // why the last open failed

int open_exclusive(int port)
{
    char path[512];
    if (!com_path(port, path, sizeof path)) {
        open_error = strerror(ENOENT);
        return -1;
    }
    return open_exclusive_path(path);
}

// Opens a node for exclusive use: a second opener (another kestrel, a modem
// tool) fails here, the way an unshared CreateFileA does.
int open_exclusive_path(const char* path)
{
    open_error = NO_PORT;
    if (foreign_device(path)) return -1;
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        open_error = errno == EBUSY ? BUSY : strerror(errno); // EBUSY: another's TIOCEXCL
        return -1;
    }
    // A plain file where the node belongs (left by writing to an unplugged
    // adapter's name) or any other node that is no terminal is no port.
    if (!isatty(fd)) {
        close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        open_error = errno == EWOULDBLOCK ? BUSY : strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

const char* plat_port_error(void)
{
    return open_error;
}

// ---- the serial channel -----------------------------------------------------

// Read by the ending-signal handlers, which clear the exclusive flag.
static volatile sig_atomic_t port_fd = -1;
static bool port_gone; // hung up: the far end closed, the adapter went away

// A tty that hung up fails with EIO; a USB adapter being pulled fails with
// ENODEV (or ENXIO) for the moment before its tty hangs up.
static bool device_gone(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO;
}
// The settings the port had when this open found it, put back at every end
// (the next program must not inherit our flow control or rate).
static struct termios2 found_settings;
static volatile sig_atomic_t found_known;

static void set_speed(int fd, int baud)
{
    struct termios2 t2;
    if (ioctl(fd, TCGETS2, &t2) != 0) return;
    t2.c_cflag &= ~CBAUD;
    t2.c_cflag |= BOTHER;
    t2.c_ispeed = t2.c_ospeed = (speed_t)baud;
    ioctl(fd, TCSETS2, &t2); // a refused rate leaves the old one
}

// The framing and flow control of fmt into a raw termios. Received bytes
// pass as they come: no parity check, no marks, no stripping.
static void apply_format(struct termios* t, const line_format* fmt)
{
    static const tcflag_t sizes[] = { CS5, CS6, CS7, CS8 };
    t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t->c_cflag |= sizes[fmt->data_bits - 5];
    if (fmt->parity != 'N') t->c_cflag |= PARENB;
    if (fmt->parity == 'O' || fmt->parity == 'M') t->c_cflag |= PARODD;
    if (fmt->parity == 'M' || fmt->parity == 'S') t->c_cflag |= CMSPAR;
    if (fmt->stop_bits == 2) t->c_cflag |= CSTOPB;
    t->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | PARMRK | ISTRIP);
    if (fmt->flow == 'h') t->c_cflag |= CRTSCTS;
    if (fmt->flow == 's') {
        t->c_iflag |= IXON | IXOFF;
        t->c_cc[VSTART] = 0x11;
        t->c_cc[VSTOP] = 0x13;
    }
}

// A driver may refuse a framing as a whole (a pseudo-terminal refuses CS7
// and parity): then 8 bits without parity, and the stop bits and flow
// control still go in. The caller reads back what the port kept.
static void set_raw(int fd, const line_format* fmt)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    apply_format(&t, fmt);
    if (tcsetattr(fd, TCSANOW, &t) == 0) return;
    line_format plain = *fmt;
    plain.data_bits = 8;
    plain.parity = 'N';
    apply_format(&t, &plain);
    if (tcsetattr(fd, TCSANOW, &t) == 0) return;
    plain.stop_bits = 1;
    plain.flow = 0;
    apply_format(&t, &plain);
    tcsetattr(fd, TCSANOW, &t);
}

int plat_port_format(line_format* fmt)
{
    struct termios t;
    if (port_fd < 0 || tcgetattr(port_fd, &t) != 0) return -1;
    tcflag_t size = t.c_cflag & CSIZE;
    fmt->data_bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    bool odd = (t.c_cflag & PARODD) != 0;
    if (!(t.c_cflag & PARENB))
        fmt->parity = 'N';
    else if (t.c_cflag & CMSPAR)
        fmt->parity = odd ? 'M' : 'S';
    else
        fmt->parity = odd ? 'O' : 'E';
    fmt->stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
    bool hw = (t.c_cflag & CRTSCTS) != 0;
    bool sw = (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
    bool sw_part = (t.c_iflag & (IXON | IXOFF)) != 0;
    fmt->flow = hw && !sw_part ? 'h' : sw && !hw ? 's' : !hw && !sw_part ? 'n' : '?';
    return 0;
}

static int port_start(int fd, int baud, const line_format* fmt)
{
    if (fd < 0) return -1;
    ioctl(fd, TIOCEXCL);
    found_known = ioctl(fd, TCGETS2, &found_settings) == 0;
    // O_NONBLOCK stays: no read or write of the port ever waits (plat_wait_io does)
    set_raw(fd, fmt);
    set_speed(fd, baud);
    tcflush(fd, TCIOFLUSH);
    ioctl(fd, TIOCCBRK);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines); // pseudo-terminals refuse this; that is fine
    catch_ending_signals();
    port_fd = fd;
    port_gone = false;
    return 0;
}

int plat_port_open(int port, int baud, const line_format* fmt)
{
    return port_start(open_exclusive(port), baud, fmt);
}

int plat_port_open_name(const char* name, int baud, const line_format* fmt)
{
    char path[512];
    if (!name_path(name, path, sizeof path)) {
        open_error = strerror(ENAMETOOLONG);
        return -1;
    }
    return port_start(open_exclusive_path(path), baud, fmt);
}

// A port without modem lines (a pseudo-terminal) refuses these ioctls with
// ENOTTY or EINVAL; EIO means it hung up.
static int line_ioctl(unsigned long request, int* bits)
{
    if (port_fd < 0) return -1;
    if (ioctl(port_fd, request, bits) == 0) return 0;
    if (device_gone(errno)) port_gone = true;
    return -1;
}

static int modem_line(int bit, int on)
{
    return line_ioctl(on ? TIOCMBIS : TIOCMBIC, &bit);
}

int plat_port_dtr(int on)
{
    return modem_line(TIOCM_DTR, on);
}

int plat_port_rts(int on)
{
    return modem_line(TIOCM_RTS, on);
}

int plat_port_break(int on)
{
    if (port_fd < 0) return -1;
    if (ioctl(port_fd, on ? TIOCSBRK : TIOCCBRK) == 0) return 0;
    if (device_gone(errno)) port_gone = true;
    return -1;
}

int plat_port_out_queue(void)
{
    int n = 0;
    if (port_fd < 0 || port_gone || ioctl(port_fd, TIOCOUTQ, &n) != 0) return -1;
    return n;
}

int plat_port_lines(modem_state* m)
{
    int bits = 0;
    if (line_ioctl(TIOCMGET, &bits) != 0) return -1;
    m->dtr = (bits & TIOCM_DTR) != 0;
    m->rts = (bits & TIOCM_RTS) != 0;
    m->cts = (bits & TIOCM_CTS) != 0;
    m->dsr = (bits & TIOCM_DSR) != 0;
    m->dcd = (bits & TIOCM_CAR) != 0;
    m->ri = (bits & TIOCM_RNG) != 0;
    return 0;
}

// The kernel writes the rate the driver really set back into its termios.
int plat_port_rate(int* baud)
{
    struct termios2 t2;
    if (port_fd < 0 || ioctl(port_fd, TCGETS2, &t2) != 0) return -1;
    *baud = (int)t2.c_ospeed;
    return 0;
}

// A hung-up tty fails its calls with EIO and polls as POLLHUP; the kernel
// has dropped whatever it still held for us.
static bool hung_up(void)
{
    struct pollfd pfd = { port_fd, POLLIN, 0 };
    return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLHUP) != 0;
}

int plat_port_queue(void)
{
    if (port_gone) return -1;
    int n = 0;
    if (ioctl(port_fd, FIONREAD, &n) != 0) {
        port_gone = device_gone(errno);
        return -1;
    }
    if (n == 0 && hung_up()) { // bytes still waiting are read first
        port_gone = true;
        return -1;
    }
    return n;
}

int plat_port_hung_up(void)
{
    return port_gone;
}

// A read hands over everything waiting up to its size, so a short one means
// the queue is empty: the next would only say so (EAGAIN).
int plat_port_read(unsigned char* buf, int n)
{
    int got = 0;
    while (got < n && !port_gone) {
        int want = n - got;
        ssize_t r = read(port_fd, buf + got, (size_t)want);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || (r < 0 && device_gone(errno))) port_gone = true; // a tty reads 0 only once hung up
        if (r <= 0) break;
        got += (int)r;
        if (r < want) break;
    }
    return got;
}

int plat_port_write(const unsigned char* buf, int n)
{
    int done = 0;
    while (done < n) {
        ssize_t r = write(port_fd, buf + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break; // the far end holds back
        if (r < 0) {
            if (device_gone(errno)) port_gone = true;
            return -1;
        }
        done += (int)r;
    }
    return done;
}

// Watches the port and the keyboard together, so that either is served at once.
// A port that hung up (the far end of a pseudo-terminal closed, an adapter
// pulled) reports so at every poll: it is left out and the time-out waited on
// the keyboard alone, or the idle loop would spin.
// A network port is watched as the serial port is; for room also once a
// write of its own fell short.
void plat_wait_io(int ms, int in, int out)
{
    struct pollfd fds[2];
    int n = 0;
    ms = console_wait_ms(ms);
    // The wait on the keyboard alone once the port has hung up: a short one
    // when the caller set no deadline, so the loop finds the hang-up soon.
    int alone_ms = ms < 0 ? IDLE_WAIT_MS : ms;
    int key_fd = console_key_fd();
    if (key_fd >= 0) fds[n++] = { key_fd, POLLIN, 0 };
    int port_at = n;
    short events = (short)((in ? POLLIN : 0) | (out ? POLLOUT : 0));
    if (net_socket() >= 0) {
        if (net_send_blocked()) events |= POLLOUT;
        fds[n++] = { net_socket(), events, 0 };
        // A connection that closed polls at once: its end is the channel's
        // to find; meanwhile the wait is on the keyboard alone.
        if (poll(fds, n, ms) > 0 && (fds[port_at].revents & (POLLHUP | POLLERR))
            && !(port_at > 0 && fds[0].revents))
            poll(fds, port_at, alone_ms);
        return;
    }
    if (port_fd >= 0 && !port_gone) fds[n++] = { port_fd, events, 0 };
    if (n == 0 && ms < 0) ms = IDLE_WAIT_MS; // nothing to wake it: never for good
    if (poll(fds, n, ms) <= 0 || port_at == n) return;
    bool hangup = (fds[port_at].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    bool key = port_at > 0 && fds[0].revents != 0;
    // Once the hang-up is known (port_gone), the next wait leaves the port out.
    if (hangup && !key && plat_port_queue() <= 0 && !port_gone) poll(fds, port_at, alone_ms);
}

void plat_wait(int ms)
{
    plat_wait_io(ms, 1, 0);
}

// ---- the upload source --------------------------------------------------------

static int upload_fd = -1;
static bool upload_fifo;

// O_NONBLOCK: a FIFO opens at once, writer or not, and its reads never wait.
int plat_upload_open(const char* path)
{
    plat_upload_close();
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    bool known = fd >= 0 && fstat(fd, &st) == 0;
    if (known && S_ISDIR(st.st_mode)) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) return -1;
    upload_fd = fd;
    upload_fifo = known && S_ISFIFO(st.st_mode);
    return 0;
}

// A FIFO reads 0 both before its writer has come and after it has gone;
// only the second polls as a hang-up.
static bool writer_gone(void)
{
    struct pollfd pfd = { upload_fd, POLLIN, 0 };
    return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLHUP) != 0;
}

int plat_upload_read(unsigned char* buf, int n)
{
    for (;;) {
        ssize_t r = read(upload_fd, buf, (size_t)n);
        if (r == 0 && upload_fifo && !writer_gone()) return -1;
        if (r >= 0) return (int)r;
        if (errno == EINTR) continue;
        return errno == EAGAIN ? -1 : 0; // a read error ends the upload
    }
}

void plat_upload_close(void)
{
    if (upload_fd >= 0) close(upload_fd);
    upload_fd = -1;
}

// Drops what the driver still holds for sending. Only when it holds some: a
// pseudo-terminal holds none (TIOCOUTQ 0), and its flush would drop what the
// far end has not read yet.
static void drop_output(int fd)
{
    int left = 0;
    if (ioctl(fd, TIOCOUTQ, &left) == 0 && left > 0) tcflush(fd, TCOFLUSH);
}

// The settings found at the open, after the output is gone (a rate that
// changed under it would garble it). The modem lines stay as they are: HUPCL,
// put back with the rest, decides as before what the close does to DTR.
static void restore_settings(int fd)
{
    if (found_known) ioctl(fd, TCSETS2, &found_settings);
}

// An ending signal: the port is freed for others, and what it still holds
// for sending is dropped, or the process's end would wait for it as a
// close does (below); its settings go back as they were. Bare system calls:
// safe in a signal handler.
void port_release(void)
{
    int fd = port_fd;
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);
    drop_output(fd);
    restore_settings(fd);
}

static const int CLOSE_STALL_MS = 300; // output that has not moved for this long is dropped

// A tty's close waits until the driver has sent all it holds, for up to its
// closing_wait (30 s by default) when the far end holds it back: CTS low
// under -fh, an XOFF under -fs, a USB device that stalls. Output that moves
// is waited for, so a session's last bytes still go out; output that stays
// is dropped.
static void drain_for_close(int fd)
{
    int last = -1, still_ms = 0;
    for (int left; ioctl(fd, TIOCOUTQ, &left) == 0 && left > 0; last = left) {
        still_ms = left == last ? still_ms + 10 : 0;
        if (still_ms >= CLOSE_STALL_MS) break;
        plat_sleep_ms(10);
    }
    drop_output(fd);
}

void plat_port_close(void)
{
    int fd = port_fd;
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);
    port_fd = -1;
    if (!port_gone) {
        drain_for_close(fd);
        restore_settings(fd);
    }
    found_known = 0;
    close(fd);
}
