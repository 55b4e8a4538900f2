// script_run.cpp - the script mode: each step over the channel, received
// bytes shown and logged as the terminal does and fed to the matcher, until
// the last step, an exit, a timed-out expect, a fail match or Ctrl-A.
#include "script_run.h"
#include "channel.h"
#include "codec/script.h"
#include "console.h"
#include "keys.h"
#include "linectl.h"
#include "options.h"
#include "platform/platform.h"
#include "terminal.h"
#include "transfer.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The longest wait at the end for output the port still holds back.
static const int DRAIN_MS = 3000;

struct script_state {
    std::string name; // how messages name the script: the file, "<stdin>" or "-E"
    std::vector<script_step> steps;
    std::vector<const script_step*> fail_steps; // each fail step, by the matcher's index
    script_matcher matcher;
    bool keys_watched; // Ctrl-A comes from a console someone types at
    int port, baud;
    int failed; // the fail pattern that matched, by index
};
static script_state run;

bool script_given(void)
{
    return option_text('S') || option_text('E');
}

// The whole of a file, or of standard input for "-"; false with errno set.
static bool read_all(const char* path, std::string* text)
{
    FILE* f = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    if (!f) return false;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
        text->append(buf, n);
    bool ok = !ferror(f);
    if (f != stdin) fclose(f);
    if (!ok && errno == 0) errno = EIO;
    return ok;
}

bool script_load(void)
{
    if (option_text('S') && option_text('E')) {
        fprintf(stderr, "Give the script with -S or with -E, not both\n");
        return false;
    }
    std::string text;
    const char* file = option_text('S');
    if (file) {
        run.name = strcmp(file, "-") == 0 ? "<stdin>" : file;
        errno = 0;
        if (!read_all(file, &text)) {
            fprintf(stderr, "Can't read script file %s: %s\n", run.name.c_str(), strerror(errno));
            return false;
        }
    } else {
        run.name = "-E";
        text = option_text('E');
    }
    std::string error;
    run.steps.clear();
    if (!script_parse(text, run.name.c_str(), &run.steps, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return true;
}

// ---- waiting on the port --------------------------------------------------------

// What a watch waits for besides its deadline.
enum watch_goal { GOAL_EXPECT, GOAL_TIME, GOAL_UPLOAD, GOAL_SENT };
// How a watch ended.
enum watch_end { WATCH_DONE, WATCH_TIME, WATCH_FAILED, WATCH_ESCAPE, WATCH_HUNG_UP };

static bool escape_came(void)
{
    return run.keys_watched && keys_escape_came_for_session();
}

// A step that met its goal once this pass is over.
static bool goal_met(watch_goal goal, match_result r, bool upload_over)
{
    if (goal == GOAL_EXPECT) return r.event == MATCH_EXPECT;
    if (goal == GOAL_UPLOAD) return upload_over;
    return goal == GOAL_SENT && RS_pending() == 0;
}

// Runs the channel as the terminal does until the goal is met or the
// deadline (NO_DEADLINE: none) passes: output offered, every received byte
// shown, logged and fed to the matcher, Ctrl-A looked for. A pass that moved
// nothing blocks until a byte, a key, room at the port or the deadline.
static watch_end watch(watch_goal goal, long deadline)
{
    for (;;) {
        bool moved = RS_flush() > 0;
        bool upload_over = false, source_waits = false;
        if (goal == GOAL_UPLOAD && RS_pending() == 0) {
            int r = send_upload_block();
            upload_over = r == 0;
            source_waits = r < 0;
            moved = moved || r > 0;
        }
        const unsigned char* data;
        int got = receive_block(&data);
        match_result r = { MATCH_NONE, -1, 0 };
        if (got > 0) r = matcher_feed(&run.matcher, data, (size_t)got);
        if (r.event == MATCH_FAIL) {
            run.failed = r.fail;
            return WATCH_FAILED;
        }
        if (goal_met(goal, r, upload_over)) return WATCH_DONE;
        if (RS_hung_up()) return WATCH_HUNG_UP;
        if (escape_came()) return WATCH_ESCAPE;
        int wait_ms = NO_DEADLINE;
        if (deadline != NO_DEADLINE) {
            long left = deadline - plat_clock_ms();
            if (left <= 0) return WATCH_TIME;
            wait_ms = (int)left;
        }
        // A source that holds back (a FIFO's slow writer) has no event to wake the wait.
        if (source_waits) wait_ms = IDLE_WAIT_MS;
        if (got == 0 && !moved) RS_wait(wait_ms, true);
    }
}

// ---- the steps ------------------------------------------------------------------

// How a step ended: the script goes on, or the run ends with run_code.
enum step_end { STEP_ON, STEP_END };
static int run_code;

static step_end end_with(int code)
{
    run_code = code;
    return STEP_END;
}

static step_end timed_out(const script_step& s)
{
    message_line();
    fprintf(stderr, "%s:%d: expect %s timed out after %ld ms; last bytes received: \"%s\"\n",
        run.name.c_str(), s.line, script_pattern_text(s.text, s.regex).c_str(), s.number,
        matcher_recent(&run.matcher).c_str());
    return end_with(SCRIPT_TIMED_OUT);
}

static step_end fail_matched(const script_step& s)
{
    const script_step* f = run.fail_steps[(size_t)run.failed];
    message_line();
    fprintf(stderr, "%s:%d: fail %s matched (while line %d ran: %s)\n", run.name.c_str(), f->line,
        script_pattern_text(f->text, f->regex).c_str(), s.line, script_step_text(s).c_str());
    return end_with(SCRIPT_FAILED);
}

// Under -w the port that hung up is waited for, and the script goes on with
// the step after the one it cut short. Ctrl-A ends the wait and the run.
static step_end hung_up(const script_step& s)
{
    drop_upload("a hang-up");
    message_line();
    printf("[%s:%d: %s cut short by the hang-up: the script goes on with the next step once the "
           "port is back]\n",
        run.name.c_str(), s.line, script_step_text(s).c_str());
    return RS_reconnect(run.port, run.baud) ? STEP_ON : end_with(0);
}

static step_end after_watch(const script_step& s, watch_end w)
{
    switch (w) {
    case WATCH_FAILED: return fail_matched(s);
    case WATCH_HUNG_UP: return hung_up(s);
    case WATCH_ESCAPE: drop_upload("Ctrl-A"); return end_with(0);
    case WATCH_TIME: return s.op == OP_EXPECT ? timed_out(s) : STEP_ON;
    default: return STEP_ON;
    }
}

static step_end expect_step(const script_step& s)
{
    match_result r = matcher_expect(&run.matcher, s.text, s.regex);
    if (r.event == MATCH_EXPECT) return STEP_ON;
    return after_watch(s, watch(GOAL_EXPECT, plat_clock_ms() + s.number));
}

static step_end upload_step(const script_step& s)
{
    const char* path = s.files[0].c_str();
    if (!upload_start(path)) {
        message_line();
        fprintf(stderr, "%s:%d: can't open upload file:%s\n", run.name.c_str(), s.line, path);
        return end_with(1);
    }
    return after_watch(s, watch(GOAL_UPLOAD, NO_DEADLINE));
}

// DTR, RTS and the break go through the line control, with -r's messages;
// a wait reads and matches meanwhile, like the wait step.
static step_end line_step(const script_step& s)
{
    if (s.line_what == 'w') return after_watch(s, watch(GOAL_TIME, plat_clock_ms() + s.line_value));
    if (!linectl_step(s.line_what, s.line_value)) return end_with(0);
    return STEP_ON;
}

static step_end say_step(const script_step& s)
{
    message_line();
    fwrite(s.text.data(), 1, s.text.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
    return STEP_ON;
}

// The script's output goes out before the port is closed, unless the port
// holds it back past DRAIN_MS; false when a fail matched meanwhile.
static bool drain(const script_step& last)
{
    if (RS_pending() == 0) return true;
    if (watch(GOAL_SENT, plat_clock_ms() + DRAIN_MS) != WATCH_FAILED) return true;
    fail_matched(last);
    return false;
}

// A transfer or a program on the port: the transfer unit runs it and shows
// its progress; its failure ends the run, Ctrl-A as Ctrl-A does anywhere.
static step_end transfer_step(const script_step& s)
{
    transfer_result r;
    switch (s.op) {
    case OP_XSEND: r = transfer_send(XM_XMODEM, s.files); break;
    case OP_XSEND1K: r = transfer_send(XM_XMODEM_1K, s.files); break;
    case OP_YSEND: r = transfer_send(XM_YMODEM, s.files); break;
    case OP_XRECV: r = transfer_receive(XM_XMODEM, s.files[0]); break;
    case OP_YRECV: r = transfer_receive(XM_YMODEM, s.files[0]); break;
    case OP_RUN: r = program_run_attached(s.text); break;
    default: r = program_run_released(s.text); break;
    }
    if (r.ok) return STEP_ON;
    if (r.session_over || r.by_escape) return end_with(0);
    message_line();
    fprintf(stderr, "%s:%d: %s failed: %s\n", run.name.c_str(), s.line,
        script_step_text(s).c_str(), r.reason.c_str());
    return end_with(SCRIPT_STEP_FAILED);
}

static step_end run_step(const script_step& s)
{
    switch (s.op) {
    case OP_SEND:
        RS_write((const unsigned char*)s.text.data(), (int)s.text.size());
        return STEP_ON;
    case OP_EXPECT: return expect_step(s);
    case OP_FAIL:
        matcher_fail(&run.matcher, s.text, s.regex);
        run.fail_steps.push_back(&s);
        return STEP_ON;
    case OP_WAIT: return after_watch(s, watch(GOAL_TIME, plat_clock_ms() + s.number));
    case OP_LINE: return line_step(s);
    case OP_UPLOAD: return upload_step(s);
    case OP_SAY: return say_step(s);
    case OP_EXIT: return drain(s) ? end_with((int)s.number) : STEP_END;
    case OP_TIMEOUT: return STEP_ON; // the parser put its wait into each expect
    default: return transfer_step(s);
    }
}

// A send or a line step that found the port hung up is cut short like a wait.
static step_end step_and_hang_up(const script_step& s)
{
    step_end e = run_step(s);
    if (e == STEP_ON && RS_hung_up()) return hung_up(s);
    return e;
}

static void end_script(void)
{
    RS_close();
    plat_keys_hold(0);
}

int ScriptMode(int port, int baud)
{
    run.port = port;
    run.baud = baud;
    run.fail_steps.clear();
    matcher_start(&run.matcher);
    run_code = 0;
    // Keys come only from a console someone types at; a script read from
    // standard input, a pipe, a file or /dev/null gives none, so nothing is
    // taken from it. Then only an interrupt (Ctrl-C, SIGINT) ends the run.
    run.keys_watched = plat_keys_typed() && strcmp(option_text('S') ? option_text('S') : "", "-");
    plat_keys_hold(!run.keys_watched);
    keys_watch_start();
    transfer_port(port, baud);
    transfer_result before;
    if (!session_open(port, baud, true, &before)) {
        end_script();
        if (before.ok || before.by_escape) return 0;
        fprintf(stderr, "-F %s failed: %s\n", option_text('F'), before.reason.c_str());
        return SCRIPT_STEP_FAILED;
    }
    console_banner("ScriptMode");
    receive_start();
    for (const script_step& s : run.steps) {
        if (s.op == OP_INTERACT) {
            terminal_interact(port, baud);
            return 0;
        }
        if (step_and_hang_up(s) == STEP_END) {
            end_script();
            return run_code;
        }
    }
    if (!run.steps.empty()) drain(run.steps.back());
    end_script();
    return run_code;
}
