// net_win32.cpp - the network port on Windows: one non-blocking socket of
// Winsock 2 (ws2_32.dll), with an event that the loop's wait watches.
#include "platform/platform.h"
#include "platform/win32/net_win32.h"
#include <winsock2.h>
#include <ws2tcpip.h>
#include <cstdio>
#include <cstring>

static SOCKET sock = INVALID_SOCKET;
static WSAEVENT sock_event = WSA_INVALID_EVENT;
static bool send_blocked;
static bool started; // WSAStartup done
static addrinfo* addresses; // what the host resolved to
static addrinfo* trying; // the address being connected to

HANDLE net_event(void)
{
    return sock == INVALID_SOCKET ? NULL : (HANDLE)sock_event;
}

bool net_send_blocked(void)
{
    return sock != INVALID_SOCKET && send_blocked;
}

// Clears the event once the wait has seen it; the socket sets it again for
// each new state (bytes, room, close).
void net_event_seen(void)
{
    WSANETWORKEVENTS events;
    if (sock != INVALID_SOCKET) WSAEnumNetworkEvents(sock, sock_event, &events);
}

static void reason(char* why, int size, int error)
{
    switch (error) {
    case WSAECONNREFUSED:
        snprintf(why, (size_t)size, "connection refused");
        break;
    case WSAENETUNREACH:
        snprintf(why, (size_t)size, "network unreachable");
        break;
    case WSAEHOSTUNREACH:
        snprintf(why, (size_t)size, "host unreachable");
        break;
    case WSAETIMEDOUT:
        snprintf(why, (size_t)size, "connection timed out");
        break;
    default:
        snprintf(why, (size_t)size, "socket error %d", error);
    }
}

static void forget_addresses(void)
{
    if (addresses) freeaddrinfo(addresses);
    addresses = trying = nullptr;
}

static void drop_socket(void)
{
    if (sock != INVALID_SOCKET) closesocket(sock);
    sock = INVALID_SOCKET;
}

// Starts the connect to `trying` and the addresses after it: 0 started,
// else the error of the last one tried.
static int start_connect(void)
{
    int error = 0;
    for (; trying; trying = trying->ai_next) {
        sock = socket(trying->ai_family, trying->ai_socktype, trying->ai_protocol);
        if (sock == INVALID_SOCKET) {
            error = WSAGetLastError();
            continue;
        }
        u_long on = 1;
        ioctlsocket(sock, FIONBIO, &on);
        if (connect(sock, trying->ai_addr, (int)trying->ai_addrlen) == 0) return 0;
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) return 0;
        drop_socket();
    }
    return error ? error : WSAECONNREFUSED;
}

// The name is looked up on a thread of its own: a resolver that never
// answers must not hold the keys. A lookup given up is left to its thread,
// which frees it when getaddrinfo returns at last.
enum { LOOKING, FOUND, GIVEN_UP };

struct name_lookup {
    char host[256];
    char service[16];
    addrinfo* found;
    int result; // getaddrinfo's
    HANDLE thread;
    volatile LONG state;
};

static name_lookup* lookup; // the one under way

static void free_lookup(name_lookup* l)
{
    if (l->found) freeaddrinfo(l->found);
    delete l;
}

static DWORD WINAPI run_lookup(LPVOID arg)
{
    name_lookup* l = (name_lookup*)arg;
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    l->result = getaddrinfo(l->host, l->service, &hints, &l->found);
    if (l->result != 0) l->found = nullptr;
    if (InterlockedCompareExchange(&l->state, FOUND, LOOKING) != LOOKING) free_lookup(l); // given up
    return 0;
}

static void give_up_lookup(void)
{
    if (!lookup) return;
    if (InterlockedCompareExchange(&lookup->state, GIVEN_UP, LOOKING) == LOOKING) {
        CloseHandle(lookup->thread);
    } else {
        WaitForSingleObject(lookup->thread, INFINITE); // it has found, and is ending
        CloseHandle(lookup->thread);
        free_lookup(lookup);
    }
    lookup = nullptr;
}

int plat_net_connect(const char* host, int port, char* why, int size)
{
    plat_net_close();
    if (!started) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
            snprintf(why, (size_t)size, "no Winsock 2");
            return -1;
        }
        started = true;
    }
    name_lookup* l = new name_lookup();
    snprintf(l->host, sizeof l->host, "%s", host);
    snprintf(l->service, sizeof l->service, "%d", port);
    l->state = LOOKING;
    l->thread = CreateThread(NULL, 0, run_lookup, l, 0, NULL);
    if (l->thread == NULL) {
        delete l;
        snprintf(why, (size_t)size, "can't start the name lookup (error %lu)", GetLastError());
        return -1;
    }
    lookup = l;
    return 0;
}

// The lookup's addresses, and the connect started to the first that takes it.
static int lookup_done(char* why, int size)
{
    int r = lookup->result;
    addresses = lookup->found;
    lookup->found = nullptr;
    CloseHandle(lookup->thread);
    free_lookup(lookup);
    lookup = nullptr;
    if (r != 0) {
        if (r == WSAHOST_NOT_FOUND || r == WSANO_DATA || r == WSATRY_AGAIN || r == WSANO_RECOVERY)
            snprintf(why, (size_t)size, "unknown host");
        else
            reason(why, size, r);
        return -1;
    }
    trying = addresses;
    int error = start_connect();
    if (error == 0) return 0;
    forget_addresses();
    reason(why, size, error);
    return -1;
}

static void connected(void)
{
    forget_addresses();
    BOOL on = TRUE; // keys and small blocks go out at once
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof on);
    sock_event = WSACreateEvent();
    WSAEventSelect(sock, sock_event, FD_READ | FD_WRITE | FD_CLOSE);
    send_blocked = false;
}

int plat_net_connected(int ms, char* why, int size)
{
    if (lookup)
        return WaitForSingleObject(lookup->thread, (DWORD)ms) == WAIT_OBJECT_0 ? lookup_done(why, size)
                                                                              : 0;
    if (sock == INVALID_SOCKET) {
        snprintf(why, (size_t)size, "not connecting");
        return -1;
    }
    fd_set done, failed;
    FD_ZERO(&done);
    FD_ZERO(&failed);
    FD_SET(sock, &done);
    FD_SET(sock, &failed);
    timeval tv = { ms / 1000, (ms % 1000) * 1000 };
    if (select(0, NULL, &done, &failed, &tv) <= 0) return 0;
    if (FD_ISSET(sock, &done)) {
        connected();
        return 1;
    }
    int error = 0;
    int len = sizeof error;
    getsockopt(sock, SOL_SOCKET, SO_ERROR, (char*)&error, &len);
    drop_socket();
    trying = trying->ai_next; // the next address of the name, if any
    if (start_connect() == 0) return 0;
    forget_addresses();
    reason(why, size, error);
    return -1;
}

int plat_net_read(unsigned char* buf, int n)
{
    int r = recv(sock, (char*)buf, n, 0);
    if (r > 0) return r;
    if (r == 0) return -1; // the far end closed
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int plat_net_write(const unsigned char* buf, int n)
{
    int r = send(sock, (const char*)buf, n, 0);
    if (r >= 0) {
        send_blocked = r < n;
        return r;
    }
    send_blocked = WSAGetLastError() == WSAEWOULDBLOCK;
    return send_blocked ? 0 : -1;
}

void plat_net_wait(int ms)
{
    if (sock == INVALID_SOCKET) return;
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_SET(sock, &readable);
    if (send_blocked) FD_SET(sock, &writable);
    timeval tv = { ms / 1000, (ms % 1000) * 1000 };
    select(0, &readable, &writable, NULL, &tv);
}

void plat_net_close(void)
{
    give_up_lookup();
    forget_addresses();
    drop_socket();
    if (sock_event != WSA_INVALID_EVENT) WSACloseEvent(sock_event);
    sock_event = WSA_INVALID_EVENT;
    send_blocked = false;
}
