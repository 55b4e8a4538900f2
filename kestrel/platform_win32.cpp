// platform_win32.cpp - the platform layer on Windows: the COM port through the
// KERNEL32 communications calls, the port list from the registry's SERIALCOMM
// key, the keyboard through the console runtime's _kbhit and _getch.
#include "platform.h"
#include <windows.h>
#include <conio.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---- the serial channel -----------------------------------------------------

static HANDLE port_handle = INVALID_HANDLE_VALUE;
static DCB port_dcb;

// "\\.\COMn": the device namespace form, which also reaches COM10 and above.
static HANDLE open_com(int port, DWORD attributes)
{
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    return CreateFileA(
        name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, attributes, NULL);
}

int plat_port_open(int port, int baud)
{
    HANDLE h = open_com(port, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) return -1;
    port_handle = h;

    DWORD errors = 0;
    COMSTAT stat;
    ClearCommError(h, &errors, &stat);
    SetupComm(h, 16384, 1024);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    // Only the line settings change; flow control and the special characters
    // stay as the driver has them. A rate the driver refuses is not an error:
    // the port keeps whatever it accepted.
    memset(&port_dcb, 0, sizeof port_dcb);
    port_dcb.DCBlength = sizeof port_dcb;
    GetCommState(h, &port_dcb);
    port_dcb.BaudRate = (DWORD)baud;
    port_dcb.ByteSize = 8;
    port_dcb.Parity = NOPARITY;
    port_dcb.StopBits = ONESTOPBIT;
    SetCommState(h, &port_dcb);

    SetCommMask(h, 0);
    SetCommMask(h, EV_RXCHAR);
    EscapeCommFunction(h, CLRBREAK);
    EscapeCommFunction(h, SETDTR);
    EscapeCommFunction(h, SETRTS);
    return 0;
}

int plat_port_queue(void)
{
    DWORD errors = 0;
    COMSTAT stat;
    if (!ClearCommError(port_handle, &errors, &stat)) return -1;
    return (int)stat.cbInQue;
}

int plat_port_read(unsigned char* buf, int n)
{
    DWORD got = 0;
    if (!ReadFile(port_handle, buf, (DWORD)n, &got, NULL)) return 0;
    return (int)got;
}

int plat_port_write(const unsigned char* buf, int n)
{
    DWORD written = 0;
    WriteFile(port_handle, buf, (DWORD)n, &written, NULL);
    return (int)written;
}

// A failed call reads as an empty queue or a short write, as the port's
// users expect of the communications calls; no hang-up is told apart.
int plat_port_hung_up(void)
{
    return 0;
}

void plat_port_close(void)
{
    if (port_handle == INVALID_HANDLE_VALUE) return;
    CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
}

// ---- registered ports -------------------------------------------------------

static HKEY serialcomm_key;
static bool serialcomm_open;

int plat_reg_open(void)
{
    serialcomm_open = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                          KEY_READ, &serialcomm_key)
        == ERROR_SUCCESS;
    return serialcomm_open ? 0 : -1;
}

int plat_reg_value(int index, char* data, int size)
{
    if (!serialcomm_open || size <= 0) return -1;
    char name[256];
    DWORD name_len = sizeof name;
    DWORD data_len = (DWORD)size;
    DWORD type = 0;
    // A value whose name or data does not fit fails here (ERROR_MORE_DATA).
    if (RegEnumValueA(
            serialcomm_key, (DWORD)index, name, &name_len, NULL, &type, (LPBYTE)data, &data_len)
        != ERROR_SUCCESS)
        return -1;
    // Registry strings need not carry their terminating zero.
    data[data_len < (DWORD)size ? data_len : (DWORD)size - 1] = '\0';
    return type == REG_SZ ? 1 : 0;
}

void plat_reg_close(void)
{
    if (serialcomm_open) RegCloseKey(serialcomm_key);
    serialcomm_open = false;
}

int plat_port_props(int port, plat_props* props)
{
    HANDLE h = open_com(port, 0);
    if (h == INVALID_HANDLE_VALUE) return -1;
    COMMPROP cp;
    memset(&cp, 0, sizeof cp);
    int got = 0;
    if (GetCommProperties(h, &cp)) {
        props->tx_queue = (long)cp.dwCurrentTxQueue;
        props->rx_queue = (long)cp.dwCurrentRxQueue;
        props->settable_baud = cp.dwSettableBaud;
        props->max_baud = cp.dwMaxBaud;
        props->settable_data = cp.wSettableData;
        props->sub_type = cp.dwProvSubType;
        props->capabilities = cp.dwProvCapabilities;
        got = 1;
    }
    CloseHandle(h);
    return got;
}

// ---- console and process ----------------------------------------------------

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
int plat_key_poll(void)
{
    if (!_kbhit()) return -1;
    return _getch() & 0xff;
}

void plat_sigint(int ignore)
{
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
