// console_posix.cpp - the console and the process on Linux: the keyboard is
// stdin, set raw for the run and put back on every way out.
#include "platform.h"
#include "posix_tty.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

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

int console_key_fd(void)
{
    return stdin_done ? -1 : STDIN_FILENO;
}

int plat_key_poll(void)
{
    if (stdin_done) return -1;
    struct pollfd pfd = { STDIN_FILENO, POLLIN, 0 };
    if (poll(&pfd, 1, 0) <= 0) return -1;
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
