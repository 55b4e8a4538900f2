// fake_platform.cpp - the platform layer driven by the Fake script.
#include "fake_platform.h"
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

Fake fake;

void fake_reset()
{
    fake = Fake();
}

std::string fake_tx_string()
{
    std::string s;
    for (const Sent &t : fake.tx) s += (char)t.byte;
    return s;
}

int run_kestrel(std::vector<std::string> args)
{
    args.insert(args.begin(), "kestrel");
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(&a[0]);
    return kestrel_main((int)argv.size(), argv.data());
}

// A port that opens has come back: what it holds for us is waiting.
static int opened(bool ok)
{
    if (!ok) return -1;
    if (fake.fail_opens > 0) {
        fake.fail_opens--;
        return -1;
    }
    if (fake.hung_up) {
        fake.rx.insert(fake.rx.end(), fake.rx_after.begin(), fake.rx_after.end());
        fake.rx_after.clear();
    }
    fake.hung_up = false;
    return 0;
}

int plat_port_open(int port, int baud, const line_format *fmt)
{
    fake.opens.push_back(port);
    fake.bauds.push_back(baud);
    fake.formats.push_back(*fmt);
    fake.lines.dtr = fake.lines.rts = 1;
    return opened(std::find(fake.openable.begin(), fake.openable.end(), port) != fake.openable.end());
}

// The peer's echo reaches the receive queue.
static void arrive(void)
{
    if (!fake.hung_up && fake.hangups > 0 && fake.rx.empty() && fake.in_flight.empty()) {
        fake.hangups--;
        fake.hung_up = true;
        fake.fail_opens = fake.hangup_fails;
    }
    if (fake.hung_up) return;
    if (!fake.in_flight.empty() && fake.clock >= fake.hold_until && (fake.trickle == 0 || fake.queue_calls % fake.trickle == 0)) {
        size_t n = fake.trickle ? 1 : fake.in_flight.size();
        for (size_t i = 0; i < n; i++) {
            fake.rx.push_back(fake.in_flight.front());
            fake.in_flight.pop_front();
        }
    }
}

int plat_port_queue(void)
{
    fake.queue_calls++;
    arrive();
    if (fake.hung_up) return -1;
    return (int)fake.rx.size();
}

int plat_port_read(unsigned char *buf, int n)
{
    arrive();
    int got = 0;
    while (got < n && !fake.rx.empty()) {
        buf[got++] = fake.rx.front();
        fake.rx.pop_front();
    }
    fake.read_total += got;
    return got;
}

int plat_port_write(const unsigned char *buf, int n)
{
    if (fake.short_write) return -1;
    if (fake.hung_up) return -1;
    if (fake.room >= 0 && n > fake.room) n = (int)fake.room;
    if (fake.room >= 0) fake.room -= n;
    if (n == 0) return 0;
    fake.writes.push_back({n, fake.read_total});
    for (int i = 0; i < n; i++) {
        fake.tx.push_back({fake.clock, buf[i]});
        if (fake.echo && fake.written != fake.drop_at) fake.in_flight.push_back(buf[i] & fake.echo_mask);
        fake.written++;
    }
    return n;
}

const char *plat_port_error(void) { return "No such file or directory"; }

int plat_port_open_name(const char *name, int baud, const line_format *fmt)
{
    fake.named.push_back(name);
    fake.bauds.push_back(baud);
    fake.formats.push_back(*fmt);
    fake.lines.dtr = fake.lines.rts = 1;
    auto &ok = fake.openable_names;
    return opened(std::find(ok.begin(), ok.end(), name) != ok.end());
}
int plat_port_hung_up(void) { return fake.hung_up; }

void plat_port_close(void) { fake.closes++; }

int plat_port_rate(int *baud)
{
    *baud = fake.rate ? fake.rate : fake.bauds.back();
    return 0;
}

int plat_net_connect(const char *host, int port, char *why, int size)
{
    fake.net_hosts.push_back(std::string(host) + ":" + std::to_string(port));
    if (fake.net_refuse.empty()) return 0;
    snprintf(why, size, "%s", fake.net_refuse.c_str());
    return -1;
}

int plat_net_connected(int ms, char *, int)
{
    if (fake.net_slow == 0) return 1;
    fake.net_slow--;
    fake.clock += ms;
    return 0;
}

int plat_net_read(unsigned char *buf, int n)
{
    if (fake.net_in.empty()) return fake.net_eof ? -1 : 0;
    int got = std::min({n, (int)fake.net_in.size(), fake.net_read_max});
    std::copy(fake.net_in.begin(), fake.net_in.begin() + got, buf);
    fake.net_in.erase(0, got);
    return got;
}

int plat_net_write(const unsigned char *buf, int n)
{
    if (fake.net_eof) return -1;
    int took = fake.net_room < 0 ? n : std::min(n, fake.net_room);
    std::string got((const char *)buf, took);
    fake.net_out += got;
    if (fake.net_server) fake.net_in += fake.net_server(got);
    return took;
}

// Nothing comes on its own: a wait for the server lets the time pass.
void plat_net_wait(int ms)
{
    if (fake.net_in.empty()) fake.clock += ms;
}

void plat_net_close(void) { fake.closes++; }

int plat_port_format(line_format *fmt)
{
    *fmt = fake.kept.data_bits ? fake.kept : fake.formats.back();
    if (!fmt->flow) fmt->flow = 'n';
    return 0;
}

static int line_call(const char *name, int on, int *line)
{
    fake.line_calls.push_back({std::string(name) + "=" + (on ? "1" : "0"), fake.clock});
    if (!fake.modem) return -1;
    if (line) *line = on;
    return 0;
}

int plat_port_dtr(int on) { return line_call("dtr", on, &fake.lines.dtr); }
int plat_port_rts(int on) { return line_call("rts", on, &fake.lines.rts); }
int plat_port_break(int on) { return line_call("break", on, nullptr); }

int plat_port_out_queue(void) { return fake.clock < fake.out_sent_at ? (int)fake.out_queue : 0; }

int plat_port_lines(modem_state *m)
{
    if (!fake.modem) return -1;
    *m = fake.lines;
    return 0;
}

void plat_list_ports(std::vector<plat_port_desc> *ports) { *ports = fake.list; }

int plat_reg_open(void) { return fake.reg_ok ? 0 : -1; }

int plat_reg_value(int index, char *data, int size)
{
    if (index >= (int)fake.reg.size()) return -1;
    snprintf(data, size, "%s", fake.reg[index].second.c_str());
    return fake.reg[index].first;
}

void plat_reg_close(void) {}

int plat_port_props(int port, plat_props *p)
{
    int r = fake.props_result.count(port) ? fake.props_result[port] : 1;
    if (r == 1) *p = plat_props{10, 20, 0x30, 0x40, 0xf, 1, 0xff};
    return r;
}

void plat_console_init(void) {}
void plat_console_restore(void) {}

void plat_keys_hold(int hold)
{
    fake.keys_held = hold != 0;
}

int plat_keys_typed(void)
{
    return fake.keys_typed;
}

int plat_key_poll(void)
{
    if (fake.keys_held || fake.keys.empty()) return -1;
    int k = fake.keys.front();
    fake.keys.pop_front();
    return k;
}

// Returns at once when a key or a byte is there, else lets ms pass on the
// clock, or less when a held echo comes back sooner.
void plat_wait(int ms) { plat_wait_io(ms, 1, 0); }

void plat_wait_io(int ms, int in, int out)
{
    fake.waits++;
    if (out) fake.out_waits++;
    if (ms < 0) fake.endless_waits++;
    if (ms < 0) ms = IDLE_WAIT_MS; // a scripted run moves on as a short look would
    if (out && fake.room_on_wait) {
        fake.room += fake.room_on_wait;
        fake.room_on_wait = 0;
    }
    bool port = in && (!fake.rx.empty() || (!fake.in_flight.empty() && fake.clock >= fake.hold_until));
    bool key = !fake.keys_held && !fake.keys.empty() && fake.keys.front() >= 0; // -1: a poll that finds none
    if (port || key) return;
    long until = fake.clock + ms;
    if (!fake.in_flight.empty() && fake.hold_until < until) until = fake.hold_until;
    fake.clock = until;
}

void plat_sigint(int ignore)
{
    fake.sigint.push_back(ignore);
    fflush(stdout);
    fake.sigint_out.push_back((long)lseek(STDOUT_FILENO, 0, SEEK_CUR));
}

void plat_exit(int code)
{
    fflush(stdout);
    fflush(stderr);
    _Exit(code);
}

long plat_clock_ms(void)
{
    fake.clock += fake.clock_step;
    return fake.clock;
}

void plat_sleep_ms(int ms) { fake.clock += ms; }

// The usage text's bytes as they are; its UTF-8 form is tested end to end.
int plat_console_unicode(const char *, int) { return 0; }
int plat_console_block(const unsigned char *, int) { return 0; }

void plat_local_time(plat_time *t)
{
    *t = fake.local;
    plat_time &l = fake.local;
    long ms = ((l.hour * 60L + l.minute) * 60 + l.second) * 1000 + l.msec + fake.local_step_ms;
    ms %= 24 * 3600 * 1000L;
    l = plat_time{(int)(ms / 3600000), (int)(ms / 60000 % 60), (int)(ms / 1000 % 60), (int)(ms % 1000)};
}

// The upload source: a file read as it is; a directory is refused.
static FILE *upload;

int plat_upload_open(const char *path)
{
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) return -1;
    upload = fopen(path, "rb");
    return upload ? 0 : -1;
}


int plat_upload_read(unsigned char *buf, int n) { return (int)fread(buf, 1, (size_t)n, upload); }

void plat_upload_close(void)
{
    if (upload) fclose(upload);
    upload = nullptr;
}

// No programs run under the fake platform.
int plat_run_start(const char *, int, char *why, int size)
{
    snprintf(why, (size_t)size, "no programs here");
    return -1;
}
int plat_run_read(unsigned char *, int) { return -1; }
int plat_run_write(const unsigned char *, int) { return -1; }
int plat_run_done(int *code) { *code = 0; return 1; }
void plat_run_stop(void) {}
