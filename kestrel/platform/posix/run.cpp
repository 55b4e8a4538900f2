// run.cpp - a program on a command line (sh -c), with its standard input and
// output on pipes that the session pumps, or sharing the console.
#include "platform/platform.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

static pid_t child = -1;
static int to_child = -1, from_child = -1;

static void close_fd(int* fd)
{
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

int plat_run_start(const char* cmd, int piped, char* why, int size)
{
    close_fd(&from_child); // the last program's, if its output never ended
    int in[2] = { -1, -1 }, out[2] = { -1, -1 };
    if (piped && (pipe(in) != 0 || pipe(out) != 0)) {
        snprintf(why, (size_t)size, "%s", strerror(errno));
        return -1;
    }
    fflush(stdout);
    child = fork();
    if (child < 0) {
        snprintf(why, (size_t)size, "%s", strerror(errno));
        return -1;
    }
    if (child == 0) {
        if (piped) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        } else { // the keyboard stays kestrel's, for Ctrl-A
            int null_fd = open("/dev/null", O_RDONLY);
            if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
        }
        signal(SIGINT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        execl("/bin/sh", "sh", "-c", cmd, (char*)nullptr);
        _exit(127);
    }
    if (piped) {
        close(in[0]), close(out[1]);
        to_child = in[1], from_child = out[0];
        fcntl(to_child, F_SETFL, fcntl(to_child, F_GETFL) | O_NONBLOCK);
        fcntl(from_child, F_SETFL, fcntl(from_child, F_GETFL) | O_NONBLOCK);
        signal(SIGPIPE, SIG_IGN); // a program that closed its input fails a write, no more
    }
    return 0;
}

int plat_run_read(unsigned char* buf, int n)
{
    if (from_child < 0) return -1;
    ssize_t got = read(from_child, buf, (size_t)n);
    if (got > 0) return (int)got;
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    close_fd(&from_child);
    return -1;
}

int plat_run_write(const unsigned char* buf, int n)
{
    if (to_child < 0) return -1;
    ssize_t put = write(to_child, buf, (size_t)n);
    if (put >= 0) return (int)put;
    if (errno == EAGAIN || errno == EINTR) return 0;
    close_fd(&to_child);
    return -1;
}

int plat_run_done(int* code)
{
    if (child < 0) return 1;
    int status = 0;
    pid_t r = waitpid(child, &status, WNOHANG);
    if (r == 0) return 0;
    *code = r < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    child = -1;
    close_fd(&to_child); // its output stays open: what it wrote last is still read
    return 1;
}

void plat_run_stop(void)
{
    if (child > 0) kill(child, SIGTERM);
}
