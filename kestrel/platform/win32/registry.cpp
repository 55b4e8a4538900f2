// registry.cpp - the ports registered under the registry's SERIALCOMM key
// on Windows, and a port's driver properties.
#include "platform/platform.h"
#include "platform/win32/win32_port.h"
#include <cstdio>

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
