// transfer.cpp - XMODEM and YMODEM over the channel, and programs on the
// port. The codec (codec/xmodem.cpp) decides; this unit feeds it the port's
// bytes, the clock and the files, and watches the keyboard for Ctrl-A. A
// transfer reads the port itself, so its bytes never reach the log.
#include "transfer.h"
#include "byte_queue.h"
#include "channel.h"
#include "console.h"
#include "keys.h"
#include "linectl.h"
#include "options.h"
#include "platform/platform.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

static const int PROGRESS_MS = 100; // the progress line changes at most this often
static const int DRAIN_MS = 1000; // longest wait for the last bytes (the CANs) to go out
static const int RUN_LOOK_MS = 2; // a program's output is looked at this often
static const size_t RUN_QUEUE = 1 << 16; // bytes held for either side of a program
static const long STUCK_MS = 3000; // an exited program's output that the port takes nothing of

static int session_port, session_baud;
static bool escaped; // Ctrl-A came during the transfer or the program that runs

// Ctrl-A came since the transfer or the program started.
static bool escape_now(void)
{
    if (keys_escape_came()) escaped = true;
    return escaped;
}

void transfer_port(int port, int baud)
{
    session_port = port;
    session_baud = baud;
}

// The files of one transfer, as the codec's events open and close them.
struct transfer_files {
    std::vector<std::string> paths; // sender's, in the codec's order
    std::string target; // receiver: XMODEM's file, or YMODEM's folder
    bool into_folder;
    FILE* fp;
    std::string part, final_name; // receiver: the file being written
    long long written; // receiver: bytes in part
    int complete; // files that went through
};

struct progress {
    long long started, shown;
    long long bytes; // as last shown
    int retries;
    bool on_line; // the progress line is on the console, unfinished
};

static bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

static transfer_result succeeded(void)
{
    return transfer_result { true, false, "", false };
}

static transfer_result failed(const std::string& reason)
{
    return transfer_result { false, false, reason, escaped };
}

// A failure before anything went over the port, told on a line of its own.
static transfer_result refused(const std::string& reason)
{
    message_line();
    printf("[%s]\n", reason.c_str());
    return failed(reason);
}

// An existing file is never overwritten: the first of NAME.1, NAME.2, ...
// that is free takes its place, and the user is told.
static std::string free_name(const std::string& name)
{
    if (!exists(name)) return name;
    std::string other;
    for (int i = 1; exists(other = name + "." + std::to_string(i)); i++) { }
    message_line();
    printf("[%s exists: receiving into %s]\n", name.c_str(), other.c_str());
    return other;
}

static void open_part(transfer_files* f, const xm_event& ev, xm_state* x, std::string* out)
{
    std::string name = f->into_folder ? f->target + "/" + ev.name : f->target;
    f->final_name = free_name(name);
    f->part = f->final_name + ".part";
    f->written = 0;
    f->fp = fopen(f->part.c_str(), "wb");
    if (!f->fp) xm_abort(x, ("can't write " + f->part + ": " + strerror(errno)).c_str(), out);
}

// A file that ended complete takes its final name; one that did not keeps
// NAME.part when it holds anything.
static void close_part(transfer_files* f, bool complete)
{
    if (!f->fp) return;
    bool ok = fclose(f->fp) == 0;
    f->fp = nullptr;
    if (complete && ok) {
        if (exists(f->final_name)) f->final_name = free_name(f->final_name);
        if (rename(f->part.c_str(), f->final_name.c_str()) == 0) {
            f->complete++;
            return;
        }
    }
    if (f->written == 0 && !complete) remove(f->part.c_str());
}

static void send_read(transfer_files* f, const xm_event& ev, xm_state* x, std::string* out)
{
    static std::string block;
    block.resize((size_t)ev.len);
    if (!f->fp || fseek(f->fp, (long)ev.offset, SEEK_SET) != 0
        || fread(&block[0], 1, (size_t)ev.len, f->fp) != (size_t)ev.len) {
        xm_abort(x, ("can't read " + f->paths[(size_t)ev.file]).c_str(), out);
        return;
    }
    xm_give(x, (const unsigned char*)block.data(), ev.len, plat_clock_ms(), out);
}

static void take_events(xm_state* x, transfer_files* f, std::string* out)
{
    for (xm_event ev; xm_next_event(x, &ev);) {
        if (ev.kind == XE_FILE_START && x->sending) {
            if (f->fp) fclose(f->fp);
            f->fp = fopen(f->paths[(size_t)ev.file].c_str(), "rb");
        } else if (ev.kind == XE_FILE_START) {
            open_part(f, ev, x, out);
        } else if (ev.kind == XE_READ) {
            send_read(f, ev, x, out);
        } else if (ev.kind == XE_DATA && f->fp) {
            if (fseek(f->fp, (long)ev.offset, SEEK_SET) != 0
                || fwrite(ev.data, 1, (size_t)ev.len, f->fp) != (size_t)ev.len)
                xm_abort(x, ("can't write " + f->part + ": " + strerror(errno)).c_str(), out);
            else if (ev.offset + ev.len > f->written)
                f->written = ev.offset + ev.len;
        } else if (ev.kind == XE_FILE_END && x->sending) {
            if (f->fp) fclose(f->fp);
            f->fp = nullptr;
            f->complete++;
        } else if (ev.kind == XE_FILE_END) {
            close_part(f, true);
        }
    }
}

static double rate_of(long long bytes, long long ms)
{
    return ms > 0 ? bytes * 1000.0 / ms : 0.0;
}

// "fw.bin 524288/1048576 50% 91.3 KB/s 0 retries", in place, at most ten times a second.
static void show_progress(const xm_state* x, progress* p, long long now)
{
    if (x->file < 0 || now - p->shown < PROGRESS_MS) return;
    if (p->on_line && x->total == p->bytes && x->retries == p->retries) return;
    p->shown = now;
    p->bytes = x->total;
    p->retries = x->retries;
    char size[48] = "";
    if (x->size >= 0)
        snprintf(size, sizeof size, "/%lld %d%%", x->size,
            x->size ? (int)(x->bytes * 100 / x->size) : 100);
    printf("\r%s %lld%s %.1f KB/s %d retries  ", x->name.empty() ? "(file)" : x->name.c_str(),
        x->bytes, size, rate_of(x->total, now - p->started) / 1024, x->retries);
    fflush(stdout);
    p->on_line = true;
}

static void show_summary(const xm_state* x, const progress* p, bool ok, const std::string& why)
{
    long long ms = plat_clock_ms() - p->started;
    if (p->on_line) printf("\n");
    message_line();
    printf("[transfer %s: %lld bytes in %.1f s, %.1f KB/s, %d retries%s%s]\n",
        ok ? "done" : "failed", x->total, ms / 1000.0, rate_of(x->total, ms) / 1024, x->retries,
        ok ? "" : ": ", why.c_str());
}

// Runs the codec to its end over the channel; Ctrl-A aborts it at once.
static void drive(xm_state* x, transfer_files* f, progress* p, std::string* out)
{
    static unsigned char buf[RX_BLOCK];
    long long ended = -1;
    for (;;) {
        long long now = plat_clock_ms();
        int n = 0;
        if (!xm_finished(x)) {
            if (escape_now()) xm_abort(x, "aborted by Ctrl-A", out);
            n = RS_read(buf, (int)sizeof buf);
            for (int off = 0; off < n && !xm_finished(x);) {
                off += xm_input(x, buf + off, n - off, now, out);
                take_events(x, f, out);
            }
            if (RS_hung_up() && !xm_finished(x)) xm_abort(x, "the port hung up", out);
            xm_poll(x, now, out);
            take_events(x, f, out);
        }
        if (!out->empty()) RS_write((const unsigned char*)out->data(), (int)out->size());
        out->clear();
        RS_flush();
        show_progress(x, p, now);
        if (xm_finished(x)) {
            if (ended < 0) ended = now;
            if (RS_pending() == 0 || now - ended >= DRAIN_MS || RS_hung_up()) return;
        }
        if (n == 0) {
            long long left = xm_finished(x) ? 10 : xm_deadline(x) - now;
            RS_wait((int)(left < 1 ? 1 : left > 10 ? 10 : left), true);
        }
    }
}

// The whole transfer: the codec's state from start to its last event.
static transfer_result run_transfer(xm_state* x, transfer_files* f, std::string* out)
{
    progress p = { plat_clock_ms(), 0, -1, 0, false };
    escaped = false;
    drive(x, f, &p, out);
    for (xm_event ev; xm_next_event(x, &ev);) { }
    bool ok = x->reason.empty();
    if (f->fp && x->sending) fclose(f->fp);
    if (!x->sending) close_part(f, false);
    f->fp = nullptr;
    show_summary(x, &p, ok, x->reason);
    return ok ? succeeded() : failed(x->reason);
}

transfer_result transfer_send(xm_protocol protocol, const std::vector<std::string>& files)
{
    if (files.empty()) return refused("no file to send");
    if (files.size() > 1 && protocol != XM_YMODEM) return refused("XMODEM sends one file");
    std::vector<xm_file> list;
    for (const std::string& path : files) {
        struct stat st;
        FILE* probe = fopen(path.c_str(), "rb");
        if (!probe || stat(path.c_str(), &st) != 0) {
            std::string why = "can't read " + path + ": " + strerror(errno);
            if (probe) fclose(probe);
            return refused(why);
        }
        fclose(probe);
        list.push_back(xm_file { path, (long long)st.st_size, (long long)st.st_mtime });
    }
    xm_state x = {};
    transfer_files f = {};
    f.paths = files;
    std::string out;
    xm_send_start(&x, protocol, list, plat_clock_ms());
    return run_transfer(&x, &f, &out);
}

transfer_result transfer_receive(xm_protocol protocol, const std::string& path)
{
    transfer_files f = {};
    f.into_folder = protocol == XM_YMODEM;
    f.target = path.empty() && f.into_folder ? "." : path;
    struct stat st;
    bool folder = stat(f.target.c_str(), &st) == 0 && (st.st_mode & S_IFDIR);
    if (f.into_folder && !folder) return refused("no folder " + f.target);
    // XMODEM brings no name: the file must be named, and a folder is not one.
    if (!f.into_folder && (f.target.empty() || folder))
        return refused(f.target.empty() ? "no file to receive into" : f.target + " is a folder");
    xm_state x = {};
    std::string out;
    xm_recv_start(&x, protocol, plat_clock_ms(), &out);
    return run_transfer(&x, &f, &out);
}

// %p becomes the port's name, as -c gave it.
static std::string command_line(const std::string& cmd)
{
    std::string port = session_port == 0 && port_name ? port_name : "COM" + std::to_string(session_port);
    std::string line;
    for (size_t i = 0; i < cmd.size(); i++) {
        if (cmd[i] == '%' && i + 1 < cmd.size() && cmd[i + 1] == 'p') {
            line += port;
            i++;
        } else {
            line += cmd[i];
        }
    }
    return line;
}

static transfer_result exit_result(int code)
{
    message_line();
    printf("[program exited with code %d]\n", code);
    if (code == 0) return succeeded();
    return failed("the program exited with code " + std::to_string(code));
}

// One pass of the pump: the program's output to the port, the port's bytes
// to the program. True when something moved; *open false once its output
// ended; *quiet when its output had room to go and nothing came.
static bool pump(byte_queue* to_program, bool* open, bool* quiet)
{
    static unsigned char buf[RX_BLOCK];
    bool moved = false;
    *quiet = false;
    if (*open && RS_pending() < (int)RUN_QUEUE) {
        int n = plat_run_read(buf, (int)sizeof buf);
        if (n > 0) RS_write(buf, n);
        *open = n >= 0;
        *quiet = n == 0;
        moved = n > 0;
    }
    moved = RS_flush() > 0 || moved;
    if (bq_size(to_program) < RUN_QUEUE) {
        int n = RS_read(buf, (int)sizeof buf);
        if (n > 0) bq_push(to_program, buf, (size_t)n);
        moved = moved || n > 0;
    }
    if (bq_size(to_program) > 0) {
        int n = plat_run_write(bq_front(to_program), (int)bq_size(to_program));
        if (n > 0) bq_drop(to_program, (size_t)n);
        if (n < 0) bq_clear(to_program); // it closed its input
        moved = moved || n > 0;
    }
    return moved;
}

transfer_result program_run_attached(const std::string& cmd)
{
    std::string line = command_line(cmd);
    char why[160];
    if (plat_run_start(line.c_str(), 1, why, (int)sizeof why) != 0)
        return refused("can't run " + line + ": " + why);
    message_line();
    printf("[running %s on %s: Ctrl-A ends it]\n", line.c_str(), RS_name());
    byte_queue to_program = {};
    bool open = true, exited = false;
    escaped = false;
    int code = 0;
    long moved_at = plat_clock_ms();
    for (;;) {
        if (!escaped && escape_now() && !exited) plat_run_stop();
        // What it wrote before it exited still goes to the port, however
        // slow: the run is over once its output ended or went quiet (a child
        // it left behind may hold it open), at Ctrl-A, or when the port
        // took nothing for a while.
        bool exit_seen = exited, quiet;
        bool moved = pump(&to_program, &open, &quiet);
        if (moved) moved_at = plat_clock_ms();
        if (!exited) exited = plat_run_done(&code) == 1;
        bool stuck = plat_clock_ms() - moved_at > STUCK_MS;
        if (exit_seen && (!open || quiet || escaped || stuck)) break;
        if (RS_hung_up()) plat_run_stop();
        if (!moved) RS_wait(RUN_LOOK_MS, true);
    }
    for (long end = plat_clock_ms() + DRAIN_MS; RS_pending() > 0 && plat_clock_ms() < end;)
        if (RS_flush() == 0) RS_wait(10, false);
    return exit_result(code);
}

// Runs a program that shares the console, with the keyboard kept for
// Ctrl-A, which ends it; -1 when it could not start.
static int run_alone(const std::string& line, transfer_result* r)
{
    char why[160];
    if (plat_run_start(line.c_str(), 0, why, (int)sizeof why) != 0) {
        *r = refused("can't run " + line + ": " + why);
        return -1;
    }
    int code = 0;
    bool stopped = false;
    escaped = false;
    while (plat_run_done(&code) == 0) {
        if (!stopped && escape_now()) {
            plat_run_stop();
            stopped = true;
        }
        plat_sleep_ms(20);
    }
    return code;
}

transfer_result program_run_released(const std::string& cmd)
{
    std::string line = command_line(cmd);
    message_line();
    printf("[%s closed: running %s]\n", RS_name(), line.c_str());
    RS_close();
    transfer_result r = {};
    int code = run_alone(line, &r);
    if (code >= 0 || r.reason.empty()) r = exit_result(code);
    if (!RS_reopen(session_port, session_baud)) r.session_over = true;
    return r;
}

transfer_result program_run_before(const std::string& cmd)
{
    std::string line = command_line(cmd);
    message_line();
    printf("[running %s]\n", line.c_str());
    transfer_result r = {};
    int code = run_alone(line, &r);
    return code >= 0 || r.reason.empty() ? exit_result(code) : r;
}

bool session_open(int port, int baud, bool stop_on_failure, transfer_result* before)
{
    *before = succeeded();
    const char* cmd = option_text('F');
    if (!cmd) return RS_start(port, baud, true);
    *before = program_run_before(cmd);
    if (!before->ok && stop_on_failure) return false;
    // A board on USB takes a while to come back after its flasher.
    bool keep = wait_flag;
    wait_flag = true;
    bool opened = RS_start(port, baud, keep);
    wait_flag = keep;
    return opened;
}

// Reads a line typed on the console, echoed, with backspace; false when
// Ctrl-A came. What the port sends meanwhile is held for later.
static bool ask(const char* prompt, std::string* answer)
{
    message_line();
    printf("%s", prompt);
    fflush(stdout);
    answer->clear();
    for (;;) {
        int k = key_poll();
        if (k < 0) {
            RS_hold_input();
            plat_sleep_ms(10);
        } else if (k == ESCAPE_KEY) {
            printf(" [cancelled]\n");
            return false;
        } else if (k == '\r' || k == '\n') {
            printf("\n");
            return true;
        } else if ((k == 8 || k == 127) && !answer->empty()) {
            answer->pop_back();
            printf("\b \b");
        } else if (k >= ' ' && k < 127) {
            answer->push_back((char)k);
            printf("%c", k);
        }
        fflush(stdout);
    }
}

// The words of a typed answer, split at blanks; a name with blanks goes in
// double quotes, inside which \" stands for " (other backslashes are kept:
// Windows paths).
static std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> list;
    size_t at = 0;
    while ((at = text.find_first_not_of(" \t", at)) != std::string::npos) {
        std::string word;
        if (text[at] != '"') {
            size_t end = text.find_first_of(" \t", at);
            word = text.substr(at, end == std::string::npos ? end : end - at);
            at = end;
        } else {
            for (at++; at < text.size() && text[at] != '"'; at++) {
                if (text[at] == '\\' && at + 1 < text.size() && text[at + 1] == '"') at++;
                word += text[at];
            }
            at = at < text.size() ? at + 1 : at;
        }
        list.push_back(word);
    }
    return list;
}

// "x", "1k" or "y" (or the protocol's name); false for anything else.
static bool protocol_named(std::string name, xm_protocol* p)
{
    for (char& c : name)
        c = (char)tolower((unsigned char)c);
    if (name == "x" || name == "xmodem") *p = XM_XMODEM;
    else if (name == "1k" || name == "x1k" || name == "xmodem-1k") *p = XM_XMODEM_1K;
    else if (name == "y" || name == "ymodem") *p = XM_YMODEM;
    else return false;
    return true;
}

static bool ask_protocol(const char* prompt, xm_protocol* p)
{
    std::string text;
    if (!ask(prompt, &text)) return false;
    std::vector<std::string> w = words(text);
    if (w.size() == 1 && protocol_named(w[0], p)) return true;
    printf("[no such protocol: x, 1k or y]\n");
    return false;
}

// A Ctrl-T command of this unit; false when the session ends.
static bool command(int key)
{
    xm_protocol p;
    std::string text;
    transfer_result r = succeeded();
    if (key == 's') {
        if (!ask_protocol("Send with (x XMODEM, 1k XMODEM-1K, y YMODEM): ", &p)) return true;
        if (!ask("File to send: ", &text)) return true;
        r = transfer_send(p, words(text));
    } else if (key == 'g') {
        if (!ask_protocol("Receive with (x XMODEM, y YMODEM): ", &p)) return true;
        if (!ask(p == XM_YMODEM ? "Into folder (Enter: here): " : "Into file: ", &text)) return true;
        std::vector<std::string> w = words(text);
        r = transfer_receive(p, w.empty() ? "" : w[0]);
    } else {
        if (!ask(key == 'e' ? "Run attached: " : "Run released: ", &text)) return true;
        if (words(text).empty()) return true;
        r = key == 'e' ? program_run_attached(text) : program_run_released(text);
    }
    return !r.session_over;
}

void transfer_commands_on(void)
{
    linectl_more_commands("sgef",
        "  s   send a file (XMODEM, XMODEM-1K, YMODEM)\n"
        "  g   receive a file (XMODEM, YMODEM)\n"
        "  e   run a program attached to the port (%p: the port)\n"
        "  f   run a program with the port released, then reopen it\n",
        command);
}
