// ptypair.cpp - test tool: two pseudo-terminals joined back to back, like a
// null-modem cable. Links LINK_A and LINK_B name the two slave ends; bytes
// written to one come out of the other. Runs until killed or SECONDS pass.
// Blocking reads and writes in one thread per direction keep the relay
// prompt even when the kernel's pty buffers fill up.
#include <cstdio>
#include <cstdlib>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

static void pump(int from, int to)
{
    unsigned char buf[4096];
    for (;;) {
        ssize_t n = read(from, buf, sizeof buf);
        if (n <= 0) return;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buf + done, n - done);
            if (w <= 0) return;
            done += w;
        }
    }
}

static int open_end(const char *link)
{
    int master, slave;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return -1;
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    unlink(link);
    if (symlink(name, link) != 0) return -1;
    return master; // the slave stays open so the pty survives between users
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: ptypair LINK_A LINK_B SECONDS\n");
        return 2;
    }
    int a = open_end(argv[1]), b = open_end(argv[2]);
    if (a < 0 || b < 0) {
        perror("ptypair");
        return 1;
    }
    std::thread(pump, a, b).detach();
    std::thread(pump, b, a).detach();
    printf("ready\n");
    fflush(stdout);
    sleep(atoi(argv[3]));
    unlink(argv[1]);
    unlink(argv[2]);
    return 0;
}
