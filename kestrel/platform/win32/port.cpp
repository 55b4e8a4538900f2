// port.cpp - the serial port on Windows, through the KERNEL32
// communications calls, and the upload source.
#include "platform/platform.h"
#include "line_types.h"
#include "platform/win32/win32_port.h"
#include <winsock2.h>
#include <windows.h>
#include <conio.h>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

// ---- the serial channel -----------------------------------------------------

static HANDLE port_handle = INVALID_HANDLE_VALUE;

bool com_port_open(void)
{
    return port_handle != INVALID_HANDLE_VALUE;
}
static DCB port_dcb;
static bool port_gone; // the device went away (a USB adapter pulled)
// Windows reports the modem inputs only: DTR and RTS are as last set.
static int dtr_set, rts_set;
static char open_error[256]; // why the last open failed
// The settings the port had when this open found it, put back at every end.
static DCB found_dcb;
static volatile LONG found_known;
volatile LONG sigint_ignored;

// A write that the port can't take (the far end holds back) gives up after
// this long with what went out, so the keyboard poll goes on meanwhile.
static const DWORD WRITE_TIMEOUT_MS = 10;

// The system's text for the open's failure, on one line; a port that
// another handle holds is busy.
static void note_open_error(DWORD e)
{
    if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) {
        snprintf(open_error, sizeof open_error, "busy: held by another program");
        return;
    }
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, e, 0,
        open_error, sizeof open_error, NULL);
    while (n > 0
        && (open_error[n - 1] == '\r' || open_error[n - 1] == '\n' || open_error[n - 1] == ' '))
        n--;
    if (n == 0)
        snprintf(open_error, sizeof open_error, "error %lu", (unsigned long)e);
    else
        open_error[n] = 0;
}

const char* plat_port_error(void)
{
    return open_error;
}

// "\\.\COMn": the device namespace form, which also reaches COM10 and above.
HANDLE open_com(int port, DWORD attributes)
{
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    return CreateFileA(
        name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, attributes, NULL);
}

// A port named on the command line: a device name such as CNCA0 (a virtual
// port pair), or a full "\\.\" name as it is.
static HANDLE open_named(const char* name)
{
    char full[300];
    bool device_path = name[0] == '\\' && name[1] == '\\';
    int n = snprintf(full, sizeof full, "%s%s", device_path ? "" : "\\\\.\\", name);
    if (n < 0 || (size_t)n >= sizeof full) { // cut short, it could name another port
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(
        full, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

// The framing of fmt into the DCB; with -f also its flow control, else the
// driver's stays.
static void apply_format(DCB* dcb, const line_format* fmt)
{
    dcb->ByteSize = (BYTE)fmt->data_bits;
    const char* parities = "NOEMS"; // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY
    dcb->Parity = (BYTE)(strchr(parities, fmt->parity) - parities);
    // With parity, no parity check: a byte that came with a parity error is
    // passed on as it came, never replaced by the error character.
    if (fmt->parity != 'N') dcb->fParity = FALSE;
    dcb->StopBits = fmt->stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    if (!fmt->flow) return;
    bool hw = fmt->flow == 'h', sw = fmt->flow == 's';
    dcb->fOutxCtsFlow = hw;
    dcb->fRtsControl = hw ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fOutX = sw;
    dcb->fInX = sw;
    dcb->fTXContinueOnXoff = TRUE;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
    dcb->XonLim = 2048; // of the 16384-byte receive queue
    dcb->XoffLim = 2048;
}

// The settings found at the open. DTR and RTS keep the levels they have now,
// so that the close treats them as it always did: a line dropped by -r or
// Ctrl-T is not raised on the way out.
static void restore_settings(void)
{
    if (!found_known || port_handle == INVALID_HANDLE_VALUE) return;
    DCB dcb = found_dcb;
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
        dcb.fDtrControl = dtr_set ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE && dcb.fRtsControl != RTS_CONTROL_TOGGLE)
        dcb.fRtsControl = rts_set ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    SetCommState(port_handle, &dcb);
}

// Runs on a thread of its own for a console event that ends the process
// (Ctrl-C unless ignored, Ctrl-Break, the window closed): the port's
// settings go back first; the event then takes its usual course.
static BOOL WINAPI on_console_end(DWORD event)
{
    if (event == CTRL_C_EVENT && sigint_ignored) return FALSE;
    restore_settings();
    found_known = 0;
    return FALSE;
}

static int port_start(HANDLE h, int baud, const line_format* fmt)
{
    if (h == INVALID_HANDLE_VALUE) {
        note_open_error(GetLastError());
        return -1;
    }
    port_handle = h;

    DWORD errors = 0;
    COMSTAT stat;
    ClearCommError(h, &errors, &stat);
    SetupComm(h, 16384, 1024);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    // Only the line settings change; without -f flow control stays as the
    // driver has it, and the special characters always do. Settings the
    // driver refuses are not an error: the port keeps whatever it accepted,
    // which GetCommState reads back.
    memset(&port_dcb, 0, sizeof port_dcb);
    port_dcb.DCBlength = sizeof port_dcb;
    found_known = GetCommState(h, &port_dcb) ? 1 : 0;
    found_dcb = port_dcb;
    port_dcb.BaudRate = (DWORD)baud;
    apply_format(&port_dcb, fmt);
    SetCommState(h, &port_dcb);

    // Reads return at once with what is waiting; writes give up after a
    // moment with what the port took: neither ever holds the loop.
    COMMTIMEOUTS timeouts;
    memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
    SetCommTimeouts(h, &timeouts);

    SetCommMask(h, 0);
    SetCommMask(h, EV_RXCHAR);
    EscapeCommFunction(h, CLRBREAK);
    EscapeCommFunction(h, SETDTR);
    EscapeCommFunction(h, SETRTS);
    dtr_set = rts_set = 1;
    port_gone = false;
    static bool watching; // once: handlers are called as often as registered
    if (!watching) watching = SetConsoleCtrlHandler(on_console_end, TRUE) != 0;
    return 0;
}

int plat_port_open(int port, int baud, const line_format* fmt)
{
    return port_start(open_com(port, FILE_ATTRIBUTE_NORMAL), baud, fmt);
}

int plat_port_open_name(const char* name, int baud, const line_format* fmt)
{
    return port_start(open_named(name), baud, fmt);
}

// The errors that the communications calls give once the device behind an
// open handle is gone: usbser and the adapter vendors' drivers differ, most
// give access denied.
static bool removal_error(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND:
        return true;
    default:
        return false;
    }
}

// A driver that aborts on line errors (fAbortOnError, kept from the driver's
// settings) fails reads and writes with ERROR_OPERATION_ABORTED after a break
// or a framing error until ClearCommError: that call clears it, and only a
// device that fails it too is gone.
static void note_failure(void)
{
    if (!removal_error(GetLastError())) return;
    DWORD errors = 0;
    COMSTAT stat;
    if (ClearCommError(port_handle, &errors, &stat)) return;
    if (removal_error(GetLastError())) port_gone = true;
}

int plat_port_queue(void)
{
    DWORD errors = 0;
    COMSTAT stat;
    if (port_gone) return -1;
    if (!ClearCommError(port_handle, &errors, &stat)) {
        note_failure();
        return -1;
    }
    return (int)stat.cbInQue;
}

int plat_port_out_queue(void)
{
    DWORD errors = 0;
    COMSTAT stat;
    if (port_gone || !ClearCommError(port_handle, &errors, &stat)) return -1;
    return (int)stat.cbOutQue;
}

int plat_port_read(unsigned char* buf, int n)
{
    DWORD got = 0;
    if (!ReadFile(port_handle, buf, (DWORD)n, &got, NULL)) {
        note_failure();
        return 0;
    }
    return (int)got;
}

// A write that timed out took what it could; one that failed took nothing.
int plat_port_write(const unsigned char* buf, int n)
{
    DWORD written = 0;
    if (port_gone) return -1;
    if (WriteFile(port_handle, buf, (DWORD)n, &written, NULL)) return (int)written;
    DWORD e = GetLastError();
    if (e == ERROR_TIMEOUT || e == ERROR_SEM_TIMEOUT) return (int)written;
    note_failure();
    return -1;
}

// Other failures read as an empty queue or a short write, as the port's
// users expect of the communications calls.
int plat_port_hung_up(void)
{
    return port_gone;
}

// A refused SetCommState leaves the old rate: GetCommState tells which.
int plat_port_rate(int* baud)
{
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (port_handle == INVALID_HANDLE_VALUE || !GetCommState(port_handle, &dcb)) return -1;
    *baud = (int)dcb.BaudRate;
    return 0;
}

int plat_port_format(line_format* fmt)
{
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (port_handle == INVALID_HANDLE_VALUE || !GetCommState(port_handle, &dcb)) return -1;
    fmt->data_bits = dcb.ByteSize;
    fmt->parity = dcb.Parity <= SPACEPARITY ? "NOEMS"[dcb.Parity] : '?';
    fmt->stop_bits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    // Hardware flow control is told by the output's wait for CTS: Wine reads
    // RTS back as RTS_CONTROL_TOGGLE on a port whose RTS it can't read.
    bool hw = dcb.fOutxCtsFlow;
    bool sw = dcb.fOutX && dcb.fInX, sw_part = dcb.fOutX || dcb.fInX;
    fmt->flow = hw && !sw_part ? 'h' : sw && !hw ? 's' : !hw && !sw_part ? 'n' : '?';
    return 0;
}

// A port without modem lines fails EscapeCommFunction and GetCommModemStatus;
// a failure that a removed device gives marks the port gone instead.
static int escape(DWORD function)
{
    if (port_handle == INVALID_HANDLE_VALUE) return -1;
    if (EscapeCommFunction(port_handle, function)) return 0;
    note_failure();
    return -1;
}

int plat_port_dtr(int on)
{
    if (escape(on ? SETDTR : CLRDTR) != 0) return -1;
    dtr_set = on;
    return 0;
}

int plat_port_rts(int on)
{
    if (escape(on ? SETRTS : CLRRTS) != 0) return -1;
    rts_set = on;
    return 0;
}

int plat_port_break(int on)
{
    return escape(on ? SETBREAK : CLRBREAK);
}

int plat_port_lines(modem_state* m)
{
    DWORD status = 0;
    if (port_handle == INVALID_HANDLE_VALUE) return -1;
    if (!GetCommModemStatus(port_handle, &status)) {
        note_failure();
        return -1;
    }
    m->dtr = dtr_set;
    m->rts = rts_set;
    m->cts = (status & MS_CTS_ON) != 0;
    m->dsr = (status & MS_DSR_ON) != 0;
    m->dcd = (status & MS_RLSD_ON) != 0;
    m->ri = (status & MS_RING_ON) != 0;
    return 0;
}

void plat_port_close(void)
{
    if (port_handle == INVALID_HANDLE_VALUE) return;
    if (!port_gone) restore_settings();
    found_known = 0;
    CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
}

// ---- the upload source ------------------------------------------------------

static FILE* upload_fp;

int plat_upload_open(const char* path)
{
    plat_upload_close();
    DWORD attrs = GetFileAttributesA(path);
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return -1;
    upload_fp = fopen(path, "rb");
    return upload_fp ? 0 : -1;
}

int plat_upload_read(unsigned char* buf, int n)
{
    return (int)fread(buf, 1, (size_t)n, upload_fp);
}

void plat_upload_close(void)
{
    if (upload_fp) fclose(upload_fp);
    upload_fp = NULL;
}
