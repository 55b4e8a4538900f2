// portlist.cpp - the detailed port list on Windows.
#include "platform/platform.h"
#include "platform/win32/win32_port.h"
#include <cstdio>
#include <cstring>
#include <vector>

// Busy when the open is refused because another handle holds the port.
// Windows knows no other way to tell; the open is the same one -p makes.
static bool com_busy(int port)
{
    HANDLE h = open_com(port, 0);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    DWORD e = GetLastError();
    return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION;
}

// Each SERIALCOMM value: its name is the device (\Device\Serial0), its data the COM name.
void plat_list_ports(std::vector<plat_port_desc>* ports)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key)
        != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; i++) {
        plat_port_desc d;
        memset(&d, 0, sizeof d);
        char data[256];
        DWORD name_len = sizeof d.device, data_len = sizeof data - 1, type = 0;
        LONG r = RegEnumValueA(key, i, d.device, &name_len, NULL, &type, (LPBYTE)data, &data_len);
        if (r == ERROR_MORE_DATA) continue; // a value too long to be a port: skip it
        if (r != ERROR_SUCCESS) break;
        data[data_len] = 0;
        if (type != REG_SZ || sscanf(data, "COM%d", &d.com) != 1 || d.com < 1) continue;
        d.busy = com_busy(d.com);
        ports->push_back(d);
    }
    RegCloseKey(key);
}
