// console.cpp - the console and the process on Windows: the keyboard through
// the console runtime's _kbhit and _getch, the wait on it and on a network
// port's socket, the clock, and Unicode text.
#include "platform/platform.h"
#include "platform/win32/net_win32.h"
#include "platform/win32/win32_port.h"
#include <conio.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

// _getch already reads one key at a time without echo, so the console mode
// is never changed and there is nothing to put back.
void plat_console_init(void)
{
    fflush(stdout); // the port list may already wait in the buffer
    setvbuf(stdout, NULL, _IONBF, 0);
}

void plat_console_restore(void)
{
}

// Function and cursor keys arrive as two successive values (0 or 0xE0, then
// the scan code), each returned by its own call.
static bool keys_held; // plat_keys_hold

void plat_keys_hold(int hold)
{
    keys_held = hold != 0;
}

int plat_key_poll(void)
{
    if (keys_held || !_kbhit()) return -1;
    return _getch() & 0xff;
}

// Drops the console input events that carry no character: key releases, mouse,
// focus and size events keep the input handle signalled although _kbhit sees
// no key. Stops at the first key press.
static void drop_non_key_events(HANDLE in)
{
    INPUT_RECORD rec;
    DWORD n = 0;
    while (PeekConsoleInputA(in, &rec, 1, &n) && n == 1) {
        if (rec.EventType == KEY_EVENT && rec.Event.KeyEvent.bKeyDown) return;
        ReadConsoleInputA(in, &rec, 1, &n);
    }
}

// The console's keyboard as _kbhit reads it: CONIN$, whatever standard input
// is. INVALID_HANDLE_VALUE when the process has no console.
static HANDLE console_input(void)
{
    static HANDLE in;
    static bool tried;
    if (!tried) {
        tried = true;
        in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
            NULL, OPEN_EXISTING, 0, NULL);
        DWORD mode;
        if (in != INVALID_HANDLE_VALUE && !GetConsoleMode(in, &mode)) {
            CloseHandle(in);
            in = INVALID_HANDLE_VALUE;
        }
    }
    return in;
}

// A network port's socket can be waited on together with the console: the
// wait ends for a key or for the socket's event (bytes, room after a write
// it took short, the close), whichever comes first.
static void wait_with_socket(HANDLE in, HANDLE net, int ms)
{
    HANDLE handles[2] = { net, in };
    DWORD count = in == INVALID_HANDLE_VALUE ? 1 : 2;
    DWORD r = WaitForMultipleObjects(count, handles, FALSE, (DWORD)ms);
    if (r == WAIT_OBJECT_0) {
        net_event_seen();
    } else if (r == WAIT_OBJECT_0 + 1 && !_kbhit()) {
        drop_non_key_events(in);
        // A key press with no character (Shift alone): a plain pause, no spin.
        if (!_kbhit() && WaitForSingleObject(in, 0) != WAIT_TIMEOUT)
            WaitForSingleObject(net, (DWORD)ms);
    }
}

int plat_keys_typed(void)
{
    return console_input() != INVALID_HANDLE_VALUE;
}

void plat_wait(int ms)
{
    plat_wait_io(ms, 1, 0);
}

// The serial port cannot be waited on together with the console (it is not
// opened for overlapped I/O), so the wait is on the keyboard with a short
// time-out, and a byte that arrives meanwhile waits at most that long.
// Whatever the wait cannot tell apart from a key turns into a plain pause,
// never into a spin. Room at the port cannot be waited for either: each write
// waits for it up to its time-out, so the wait for output is kept short.
void plat_wait_io(int ms, int, int out)
{
    // The port can't be waited on: a short look, whatever the caller's deadline.
    if (ms < 0 || (com_port_open() && ms > IDLE_WAIT_MS)) ms = IDLE_WAIT_MS;
    HANDLE in = keys_held ? INVALID_HANDLE_VALUE : console_input();
    HANDLE net = net_event();
    if (net) {
        wait_with_socket(in, net, ms);
        return;
    }
    if (out && ms > 1) ms = 1;
    if (in == INVALID_HANDLE_VALUE) {
        Sleep((DWORD)ms);
        return;
    }
    DWORD r = WaitForSingleObject(in, (DWORD)ms);
    if (r == WAIT_TIMEOUT || _kbhit()) return;
    if (r == WAIT_OBJECT_0) drop_non_key_events(in);
    // A key press with no character (Shift alone) stays until a key follows.
    if (!_kbhit() && WaitForSingleObject(in, 0) != WAIT_TIMEOUT) Sleep((DWORD)ms);
}

void plat_sigint(int ignore)
{
    sigint_ignored = ignore != 0;
    signal(SIGINT, ignore ? SIG_IGN : SIG_DFL);
}

void plat_exit(int code)
{
    fflush(stdout);
    exit(code);
}

// The Windows C runtime's clock() counts wall-clock time since the process
// started, not processor time.
long plat_clock_ms(void)
{
    return (long)((long long)clock() * 1000 / CLOCKS_PER_SEC);
}

void plat_sleep_ms(int ms)
{
    Sleep((DWORD)ms);
}

// ---- console text and the time of day ----------------------------------------

// A console is written in UTF-16, whatever its code page; a file or a pipe
// gets the caller's bytes.
int plat_console_unicode(const char* text, int n)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    if (out == NULL || out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return 0;
    int wide_len = MultiByteToWideChar(CP_UTF8, 0, text, n, NULL, 0);
    if (wide_len <= 0) return 0;
    std::vector<wchar_t> wide((size_t)wide_len);
    MultiByteToWideChar(CP_UTF8, 0, text, n, wide.data(), wide_len);
    fflush(stdout);
    DWORD written = 0;
    WriteConsoleW(out, wide.data(), (DWORD)wide_len, &written, NULL);
    return 1;
}

// A Windows console does no output processing of its own that is worth
// going around.
int plat_console_block(const unsigned char*, int)
{
    return 0;
}

void plat_local_time(plat_time* t)
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    t->hour = st.wHour;
    t->minute = st.wMinute;
    t->second = st.wSecond;
    t->msec = st.wMilliseconds;
}
