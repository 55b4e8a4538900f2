// run.cpp - a program on a command line (cmd /c), with its standard input
// and output on pipes that the session pumps, or sharing the console.
#include "platform/platform.h"
#include <cstdio>
#include <string>
#include <windows.h>

static HANDLE child = nullptr;
static HANDLE to_child = nullptr, from_child = nullptr;

static void close_handle(HANDLE* h)
{
    if (*h) CloseHandle(*h);
    *h = nullptr;
}

int plat_run_start(const char* cmd, int piped, char* why, int size)
{
    close_handle(&from_child); // the last program's, if its output never ended
    SECURITY_ATTRIBUTES sa = { sizeof sa, nullptr, TRUE };
    HANDLE in_read = nullptr, out_write = nullptr;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (piped) {
        if (!CreatePipe(&in_read, &to_child, &sa, 0) || !CreatePipe(&from_child, &out_write, &sa, 0)) {
            snprintf(why, (size_t)size, "can't make a pipe (error %lu)", GetLastError());
            return -1;
        }
        SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);
        DWORD mode = PIPE_NOWAIT; // a full pipe takes nothing rather than blocking
        SetNamedPipeHandleState(to_child, &mode, nullptr, nullptr);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in_read;
        si.hStdOutput = out_write;
        si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    std::string line = std::string("cmd /c ") + cmd;
    PROCESS_INFORMATION pi = {};
    BOOL ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    close_handle(&in_read);
    close_handle(&out_write);
    if (!ok) {
        snprintf(why, (size_t)size, "can't start cmd (error %lu)", GetLastError());
        close_handle(&to_child);
        close_handle(&from_child);
        return -1;
    }
    CloseHandle(pi.hThread);
    child = pi.hProcess;
    return 0;
}

int plat_run_read(unsigned char* buf, int n)
{
    DWORD avail = 0, got = 0;
    if (!from_child) return -1;
    if (!PeekNamedPipe(from_child, nullptr, 0, nullptr, &avail, nullptr)) {
        close_handle(&from_child);
        return -1;
    }
    if (avail == 0) return 0;
    if (!ReadFile(from_child, buf, avail < (DWORD)n ? avail : (DWORD)n, &got, nullptr)) return -1;
    return (int)got;
}

int plat_run_write(const unsigned char* buf, int n)
{
    DWORD put = 0;
    if (!to_child) return -1;
    if (!WriteFile(to_child, buf, (DWORD)n, &put, nullptr)) {
        close_handle(&to_child);
        return -1;
    }
    return (int)put;
}

int plat_run_done(int* code)
{
    if (!child) return 1;
    if (WaitForSingleObject(child, 0) != WAIT_OBJECT_0) return 0;
    DWORD exit_code = 0;
    GetExitCodeProcess(child, &exit_code);
    *code = (int)exit_code;
    close_handle(&child);
    close_handle(&to_child); // its output stays open: what it wrote last is still read
    return 1;
}

void plat_run_stop(void)
{
    if (child) TerminateProcess(child, 1);
}
