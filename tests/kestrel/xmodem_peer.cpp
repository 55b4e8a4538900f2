// xmodem_peer.cpp - test tool: the XMODEM/YMODEM codec on a serial device,
// so that another implementation can be its peer.
//   xmodem_peer send x|1k|y DEVICE FILE...   sends the files
//   xmodem_peer recv x|y DEVICE OUT          XMODEM: into the file OUT;
//                                            YMODEM: into the folder OUT
// A file comes in as NAME.part and gets its name when complete; an existing
// file is never overwritten. Exit code 0 done, 1 failed (the reason on stderr).
#include "codec/xmodem.h"
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

static long long now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

static bool write_all(int fd, const std::string& s)
{
    for (size_t done = 0; done < s.size();) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (n > 0) done += (size_t)n;
    }
    return true;
}

struct peer {
    bool sending;
    std::string out_path; // recv: the file (XMODEM) or the folder (YMODEM)
    std::vector<std::string> paths; // send
    FILE* f = nullptr;
    std::string part, final_name;
};

static std::string handle_event(xm_state* x, peer* p, const xm_event& ev, std::string* out)
{
    if (ev.kind == XE_FILE_START && p->sending) {
        p->f = fopen(p->paths[(size_t)ev.file].c_str(), "rb");
        if (!p->f) return "cannot open " + p->paths[(size_t)ev.file];
    } else if (ev.kind == XE_READ) {
        std::vector<unsigned char> buf((size_t)ev.len);
        if (fread(buf.data(), 1, buf.size(), p->f) != buf.size()) return "short read";
        xm_give(x, buf.data(), ev.len, now_ms(), out);
    } else if (ev.kind == XE_FILE_END && p->sending) {
        fclose(p->f);
        p->f = nullptr;
    } else if (ev.kind == XE_FILE_START) {
        p->final_name = x->protocol == XM_YMODEM ? p->out_path + "/" + ev.name : p->out_path;
        struct stat st;
        if (stat(p->final_name.c_str(), &st) == 0) return p->final_name + " exists";
        p->part = p->final_name + ".part";
        p->f = fopen(p->part.c_str(), "wb");
        if (!p->f) return "cannot create " + p->part;
    } else if (ev.kind == XE_DATA) {
        if (fwrite(ev.data, 1, (size_t)ev.len, p->f) != (size_t)ev.len)
            return "cannot write " + p->part;
    } else if (ev.kind == XE_FILE_END) {
        if (fclose(p->f) != 0 || rename(p->part.c_str(), p->final_name.c_str()) != 0)
            return "cannot finish " + p->final_name;
        p->f = nullptr;
    }
    return "";
}

static void handle_events(xm_state* x, peer* p, std::string* out)
{
    xm_event ev;
    while (xm_next_event(x, &ev)) {
        std::string error = handle_event(x, p, ev, out);
        if (!error.empty()) xm_abort(x, error.c_str(), out);
    }
}

int main(int argc, char** argv)
{
    if (argc < 5 || (strcmp(argv[1], "send") && strcmp(argv[1], "recv"))) {
        fprintf(stderr, "usage: xmodem_peer send x|1k|y DEVICE FILE... | recv x|y DEVICE OUT\n");
        return 2;
    }
    peer p;
    p.sending = strcmp(argv[1], "send") == 0;
    xm_protocol proto = argv[2][0] == 'y' ? XM_YMODEM
        : argv[2][0] == '1'               ? XM_XMODEM_1K
                                          : XM_XMODEM;
    int fd = open(argv[3], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        perror(argv[3]);
        return 1;
    }
    struct termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    xm_state x;
    std::string out;
    if (p.sending) {
        std::vector<xm_file> files;
        for (int i = 4; i < argc; i++) {
            struct stat st;
            if (stat(argv[i], &st) != 0) {
                perror(argv[i]);
                return 1;
            }
            p.paths.push_back(argv[i]);
            files.push_back({ argv[i], (long long)st.st_size, (long long)st.st_mtime });
        }
        xm_send_start(&x, proto, files, now_ms());
    } else {
        p.out_path = argv[4];
        xm_recv_start(&x, proto, now_ms(), &out);
    }
    for (;;) {
        handle_events(&x, &p, &out);
        if (!write_all(fd, out)) xm_abort(&x, "cannot write to the port", &out);
        out.clear();
        if (xm_finished(&x) && x.events.empty()) break;
        long long wait = xm_deadline(&x) - now_ms();
        struct pollfd pfd = { fd, POLLIN, 0 };
        if (poll(&pfd, 1, wait < 0 ? 0 : (int)wait) > 0) {
            unsigned char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (getenv("XMODEM_PEER_TRACE"))
                for (ssize_t i = 0; i < n && i < 8; i++)
                    fprintf(
                        stderr, "%lld in %02x%s\n", now_ms() % 100000, buf[i], i == 7 ? "..." : "");
            for (int at = 0; at < n;) {
                at += xm_input(&x, buf + at, (int)n - at, now_ms(), &out);
                handle_events(&x, &p, &out);
            }
        }
        xm_poll(&x, now_ms(), &out);
    }
    write_all(fd, out);
    tcdrain(fd);
    if (!x.reason.empty()) {
        fprintf(stderr, "xmodem_peer: %s\n", x.reason.c_str());
        return 1;
    }
    return 0;
}
