// console_posix.cpp - the console and the process on Linux: the keyboard is
// stdin, set raw for the run and put back on every way out.
#include "platform/platform.h"
#include "platform/posix/posix_tty.h"
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// ---- console and process ----------------------------------------------------

// A standard stream that the caller closed (kestrel <&-, >&-) gets /dev/null:
// otherwise the port would take its number, and its bytes be read as keys or
// the console's output be written into it.
static bool open_standard_streams(void)
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY); // gets fd
    return true;
}

[[maybe_unused]] static const bool standard_streams_open = open_standard_streams();

// Signal handlers read and change the state below, so it is kept in
// sig_atomic_t and touched there only through async-signal-safe calls.
static volatile sig_atomic_t console_tty; // stdin is a terminal and the mode uses it
static volatile sig_atomic_t console_raw; // set raw by us; console_saved is how it was
static volatile sig_atomic_t signal_keys = 1; // Ctrl-C, Ctrl-Z, Ctrl-\ stay signals
static volatile sig_atomic_t interrupted; // SIGINT that ends the terminal (no console)
static bool stdin_done;
static bool keys_held; // plat_keys_hold
static bool sigint_ignored; // ignored when kestrel started: left so
static struct termios console_saved;
static struct termios console_raw_settings; // as apply_raw set them
static bool blocks_here; // plat_console_block writes to this console

// False when stdin is the controlling terminal of a session in which another
// process group has the foreground (kestrel ... &): that group owns the keys
// and the settings, and touching either would stop us (SIGTTIN, SIGTTOU).
static bool in_foreground(void)
{
    pid_t fg = tcgetpgrp(STDIN_FILENO);
    return fg < 0 || fg == getpgrp(); // not our controlling terminal: no job control
}

static void apply_raw(void)
{
    struct termios t = console_saved;
    // Keys arrive one by one without echo; OPOST stays so a received LF shows
    // as a line end; Enter gives CR. Without ISIG the signal keys are bytes too.
    t.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
    if (!signal_keys) t.c_lflag &= ~ISIG;
    t.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | ISTRIP);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &t);
    console_raw_settings = t;
}

// Output processing that does more than put a CR before each LF.
static const tcflag_t OTHER_OUTPUT
    = OLCUC | OCRNL | ONOCR | ONLRET | OFILL | NLDLY | CRDLY | TABDLY | BSDLY | VTDLY | FFDLY;

// Standard output is the console whose keys we read, and its output
// processing at most puts a CR before each LF.
static bool plain_output_here(void)
{
    struct stat in, out;
    if (!(console_saved.c_oflag & OPOST) || (console_saved.c_oflag & OTHER_OUTPUT)) return false;
    if (fstat(STDIN_FILENO, &in) != 0 || fstat(STDOUT_FILENO, &out) != 0) return false;
    return S_ISCHR(out.st_mode) && in.st_rdev == out.st_rdev;
}

static void take_console(void)
{
    if (!console_tty || console_raw) return;
    // No handler may take it meanwhile, or console_saved would catch raw
    // settings. SIGTTOU stays open: it must stop a background job that got here.
    sigset_t block, old;
    sigfillset(&block);
    sigdelset(&block, SIGTTOU);
    sigprocmask(SIG_BLOCK, &block, &old);
    if (!console_raw && in_foreground() && tcgetattr(STDIN_FILENO, &console_saved) == 0) {
        console_raw = 1;
        apply_raw();
        blocks_here = plain_output_here();
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

static void give_console(void)
{
    if (console_raw) tcsetattr(STDIN_FILENO, TCSANOW, &console_saved);
    console_raw = 0;
}

void plat_console_restore(void)
{
    give_console();
    console_tty = 0;
}

static void on_end_signal(int sig)
{
    port_release();
    give_console();
    signal(sig, SIG_DFL);
    raise(sig); // ends the process once the handler returns
}

static void set_handler(int sig, void (*handler)(int))
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // A handler that returns must not break a write to a full pipe or port.
    sa.sa_flags = SA_RESTART;
    // The stop handler raises its own signal and must receive it at once.
    if (sig == SIGTSTP) sa.sa_flags |= SA_NODEFER;
    sigaction(sig, &sa, nullptr);
}

// Ctrl-Z: the shell gets its console back while kestrel is stopped.
static void on_stop_signal(int sig)
{
    give_console();
    signal(sig, SIG_DFL);
    raise(sig); // stops here until SIGCONT
    set_handler(sig, on_stop_signal);
}

// Continued in the foreground (fg): raw keys again. In the background (bg)
// the console stays the shell's. A job that runs on when brought to the
// foreground gets no SIGCONT: the key poll takes the console then.
static void on_continue(int)
{
    take_console();
}

// Terminal mode: Ctrl-C is a key for the port, and an interrupt sent from
// elsewhere is ignored while keys come from the console. When they cannot
// (stdin a pipe or a file, or kestrel in the background) it ends the mode.
static void on_terminal_interrupt(int)
{
    if (!console_raw) interrupted = 1;
}

void catch_ending_signals(void)
{
    static bool caught; // once: later calls must not undo plat_sigint
    if (caught) return;
    caught = true;
    // SIGPIPE: the program reading our output (kestrel | tee ...) went away.
    const int sigs[] = { SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2 };
    for (int sig : sigs) {
        // A signal ignored from the start (nohup, a script's background job)
        // is the caller's choice: it stays ignored.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            if (sig == SIGINT) sigint_ignored = true;
            continue;
        }
        set_handler(sig, on_end_signal);
    }
}

void plat_console_init(void)
{
    fflush(stdout); // the port list may already wait in the buffer
    setvbuf(stdout, nullptr, _IONBF, 0);
    stdin_done = false;
    interrupted = 0;
    signal_keys = 1;
    catch_ending_signals();
    if (!isatty(STDIN_FILENO)) return;
    console_tty = 1;
    set_handler(SIGTSTP, on_stop_signal);
    set_handler(SIGCONT, on_continue);
    take_console();
}

void plat_keys_hold(int hold)
{
    keys_held = hold != 0;
}

// An interrupt breaks the wait that leaves the keys out (EINTR). Keys set
// raw mean the foreground is ours: only a stop, which gives the console
// back, hands it on; so the question costs no system call while it streams.
int console_key_fd(void)
{
    if (keys_held || stdin_done) return -1;
    if (console_tty && !console_raw && !in_foreground()) return -1;
    return STDIN_FILENO;
}

// An interrupt that ends the terminal may land just before the wait starts,
// and a job brought back to the foreground (fg) gets no signal at all: while
// either can happen, a wait without a deadline still looks this often.
static const int UNWATCHED_LOOK_MS = 100;

int console_wait_ms(int ms)
{
    if (ms >= 0 || console_raw) return ms;
    bool interrupt_is_key = !signal_keys && !sigint_ignored;
    return console_tty || interrupt_is_key ? UNWATCHED_LOOK_MS : ms;
}

int plat_keys_typed(void)
{
    return isatty(STDIN_FILENO);
}

int plat_key_poll(void)
{
    if (interrupted) return 1; // as Ctrl-A: the terminal ends
    int fd = console_key_fd();
    if (fd >= 0) take_console(); // brought to the foreground (fg): raw keys again
    struct pollfd pfd = { fd, POLLIN, 0 };
    if (fd < 0 || poll(&pfd, 1, 0) <= 0) return -1;
    unsigned char c;
    ssize_t r = read(STDIN_FILENO, &c, 1);
    if (r == 1) return c;
    if (r == 0 || (errno != EINTR && errno != EAGAIN)) stdin_done = true; // no more keys
    return -1;
}

void plat_sigint(int ignore)
{
    interrupted = 0;
    signal_keys = !ignore;
    catch_ending_signals();
    if (!sigint_ignored) set_handler(SIGINT, ignore ? on_terminal_interrupt : on_end_signal);
    if (console_raw) apply_raw();
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

// ---- console text and the time of day ----------------------------------------

// The locale's character set is asked for here only: the rest of the program
// keeps the "C" locale's character classes.
static bool utf8_locale(void)
{
    const char* was = setlocale(LC_CTYPE, nullptr);
    char saved[256];
    snprintf(saved, sizeof saved, "%s", was ? was : "C");
    bool utf8 = false;
    if (setlocale(LC_CTYPE, "")) {
        const char* set = nl_langinfo(CODESET);
        utf8 = strcasecmp(set, "UTF-8") == 0 || strcasecmp(set, "UTF8") == 0;
    }
    setlocale(LC_CTYPE, saved);
    return utf8;
}

int plat_console_unicode(const char* text, int n)
{
    if (!utf8_locale()) return 0;
    fwrite(text, 1, (size_t)n, stdout);
    return 1;
}

// ---- blocks of received bytes ------------------------------------------------

// Smaller blocks go through the kernel's output processing: turning it off
// and on again would cost more than it saves.
static const int CONSOLE_BLOCK_MIN = 1024;
static std::string crlf_block;

static void write_all(const char* data, size_t n)
{
    while (n > 0) {
        ssize_t w = write(STDOUT_FILENO, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return; // a console that is gone takes nothing more
        data += w;
        n -= (size_t)w;
    }
}

// Copies the block into crlf_block with a CR before each LF.
static void put_crs(const unsigned char* data, int n)
{
    crlf_block.clear();
    const unsigned char* end = data + n;
    const unsigned char* lf;
    while ((lf = (const unsigned char*)memchr(data, '\n', (size_t)(end - data))) != nullptr) {
        crlf_block.append((const char*)data, (size_t)(lf - data));
        crlf_block.append("\r\n", 2);
        data = lf + 1;
    }
    crlf_block.append((const char*)data, (size_t)(end - data));
}

// The kernel hands each run of bytes up to an LF or a tab to the terminal
// on its own, which makes a big block of received bytes cost several times
// its copy. Here the block gets its CRs in one pass and goes out in one write
// with output processing off, then on again: the console gets the same bytes.
int plat_console_block(const unsigned char* data, int n)
{
    if (n < CONSOLE_BLOCK_MIN || !console_raw || !blocks_here) return 0;
    const char* out = (const char*)data;
    size_t len = (size_t)n;
    if (console_saved.c_oflag & ONLCR) {
        put_crs(data, n);
        out = crlf_block.data();
        len = crlf_block.size();
    }
    struct termios t = console_raw_settings;
    t.c_oflag &= ~OPOST;
    fflush(stdout);
    if (tcsetattr(STDOUT_FILENO, TCSANOW, &t) != 0) return 0;
    write_all(out, len);
    // A stop meanwhile gave the console back; a job continued in the
    // background must leave it as the shell has it.
    if (console_raw) tcsetattr(STDOUT_FILENO, TCSANOW, &console_raw_settings);
    return 1;
}

// clock_gettime is no system call here (vDSO), and localtime_r reads the
// time zone once: a stamp per received block costs none.
void plat_local_time(plat_time* t)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    struct tm tm;
    localtime_r(&secs, &tm);
    t->hour = tm.tm_hour;
    t->minute = tm.tm_min;
    t->second = tm.tm_sec;
    t->msec = (int)(ts.tv_nsec / 1000000);
}
