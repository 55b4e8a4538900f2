// net_posix.cpp - the network port on Linux: one non-blocking TCP socket.
#include "platform/platform.h"
#include "platform/posix/posix_tty.h"
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

static int sock = -1;
static bool send_blocked;
static addrinfo* addresses; // what the host resolved to
static addrinfo* trying; // the address being connected to

int net_socket(void)
{
    return sock;
}

bool net_send_blocked(void)
{
    return sock >= 0 && send_blocked;
}

static void reason(char* why, int size, int error)
{
    if (error == ECONNREFUSED)
        snprintf(why, (size_t)size, "connection refused");
    else
        snprintf(why, (size_t)size, "%s", strerror(error));
}

// Starts the connect to the address at `trying` and the ones after it:
// 0 started (or made), else the error of the last one tried.
static int start_connect(void)
{
    int error = 0;
    for (; trying; trying = trying->ai_next) {
        sock = socket(trying->ai_family, trying->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
            trying->ai_protocol);
        if (sock < 0) {
            error = errno;
            continue;
        }
        if (connect(sock, trying->ai_addr, trying->ai_addrlen) == 0 || errno == EINPROGRESS)
            return 0;
        error = errno;
        close(sock);
        sock = -1;
    }
    return error ? error : ECONNREFUSED;
}

static void forget_addresses(void)
{
    if (addresses) freeaddrinfo(addresses);
    addresses = trying = nullptr;
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
    int sys_error; // errno, for EAI_SYSTEM
    pthread_t thread;
    std::atomic<int> state;
};

static name_lookup* lookup; // the one under way

static void free_lookup(name_lookup* l)
{
    if (l->found) freeaddrinfo(l->found);
    delete l;
}

static void* run_lookup(void* arg)
{
    name_lookup* l = (name_lookup*)arg;
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    l->result = getaddrinfo(l->host, l->service, &hints, &l->found);
    l->sys_error = errno;
    if (l->result != 0) l->found = nullptr;
    int looking = LOOKING;
    if (!l->state.compare_exchange_strong(looking, FOUND)) free_lookup(l); // given up
    return nullptr;
}

static void give_up_lookup(void)
{
    if (!lookup) return;
    int looking = LOOKING;
    if (lookup->state.compare_exchange_strong(looking, GIVEN_UP)) {
        pthread_detach(lookup->thread);
    } else {
        pthread_join(lookup->thread, nullptr);
        free_lookup(lookup);
    }
    lookup = nullptr;
}

// Waits at most ms for the lookup: true once it has ended.
static bool lookup_ended(int ms)
{
    timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    return pthread_timedjoin_np(lookup->thread, nullptr, &until) == 0;
}

int plat_net_connect(const char* host, int port, char* why, int size)
{
    plat_net_close();
    name_lookup* l = new name_lookup();
    snprintf(l->host, sizeof l->host, "%s", host);
    snprintf(l->service, sizeof l->service, "%d", port);
    l->state = LOOKING;
    int error = pthread_create(&l->thread, nullptr, run_lookup, l);
    if (error != 0) {
        delete l;
        reason(why, size, error);
        return -1;
    }
    lookup = l;
    return 0;
}

// The lookup's addresses, and the connect started to the first that takes it.
static int lookup_done(char* why, int size)
{
    int r = lookup->result;
    int sys_error = lookup->sys_error;
    addresses = lookup->found;
    lookup->found = nullptr;
    free_lookup(lookup);
    lookup = nullptr;
    if (r != 0) {
        if (r == EAI_SYSTEM)
            reason(why, size, sys_error);
        else if (r == EAI_NONAME || r == EAI_FAIL || r == EAI_AGAIN || r == EAI_NODATA)
            snprintf(why, (size_t)size, "unknown host");
        else
            snprintf(why, (size_t)size, "%s", gai_strerror(r));
        return -1;
    }
    trying = addresses;
    int error = start_connect();
    if (error == 0) return 0;
    forget_addresses();
    reason(why, size, error);
    return -1;
}

int plat_net_connected(int ms, char* why, int size)
{
    if (lookup) return lookup_ended(ms) ? lookup_done(why, size) : 0;
    if (sock < 0) {
        snprintf(why, (size_t)size, "not connecting");
        return -1;
    }
    struct pollfd pfd = { sock, POLLOUT, 0 };
    if (poll(&pfd, 1, ms) <= 0) return 0;
    int error = 0;
    socklen_t len = sizeof error;
    getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error == 0) {
        forget_addresses();
        int on = 1; // keys and small blocks go out at once
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        send_blocked = false;
        return 1;
    }
    close(sock);
    sock = -1;
    trying = trying->ai_next; // the next address of the name, if any
    int next = start_connect();
    if (next == 0) return 0;
    forget_addresses();
    reason(why, size, error);
    return -1;
}

// A server that holds its last small segment until the previous one is
// acknowledged (Nagle, as ser2net's default accepter does) would otherwise
// wait for Linux's delayed ACK, up to 40 ms each time: once per block of a
// transfer. The kernel drops the quick mode again by itself, so it is asked
// for after every read.
static void ack_at_once(void)
{
#ifdef TCP_QUICKACK
    int on = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

int plat_net_read(unsigned char* buf, int n)
{
    for (;;) {
        ssize_t r = recv(sock, buf, (size_t)n, 0);
        if (r > 0) {
            ack_at_once();
            return (int)r;
        }
        if (r == 0) return -1; // the far end closed
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

// MSG_NOSIGNAL: a broken connection is an error here, not a SIGPIPE.
int plat_net_write(const unsigned char* buf, int n)
{
    for (;;) {
        ssize_t r = send(sock, buf, (size_t)n, MSG_NOSIGNAL);
        if (r >= 0) {
            send_blocked = r < n;
            return (int)r;
        }
        if (errno == EINTR) continue;
        send_blocked = errno == EAGAIN || errno == EWOULDBLOCK;
        return send_blocked ? 0 : -1;
    }
}

void plat_net_wait(int ms)
{
    if (sock < 0) return;
    struct pollfd pfd = { sock, (short)(POLLIN | (send_blocked ? POLLOUT : 0)), 0 };
    poll(&pfd, 1, ms);
}

void plat_net_close(void)
{
    give_up_lookup();
    forget_addresses();
    if (sock >= 0) close(sock);
    sock = -1;
    send_blocked = false;
}
