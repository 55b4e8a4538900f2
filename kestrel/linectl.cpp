// linectl.cpp - the line under the user's control: the framing and flow
// control of -m and -f, the -r sequence of modem-line steps, and the -k
// command key. Only the RS_ operations touch the port, so any channel that
// has them serves.
#include "linectl.h"
#include "channel.h"
#include "console.h"
#include "keys.h"
#include "options.h"
#include "platform/platform.h"
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static const int BREAK_MS = 250;
static const int PULSE_MS = 100; // Ctrl-T p without -r: a DTR pulse this long
static const int MAX_WAIT_MS = 10000;
static const int KEY_LOOK_MS = 10; // a wait looks at the keyboard this often
static const int DRAIN_MS = 3000; // longest wait for the output ahead of a line step
const char LINE_STEP_HELP[] = "use dtr=0, dtr=1, rts=0, rts=1, break, or a wait of 1 to 10000 ms";

// One step of a -r sequence: 'd' DTR, 'r' RTS (value 0 or 1), 'b' a break,
// 'w' a wait of value milliseconds.
struct line_step {
    char what;
    int value;
};
static std::vector<line_step> sequence;
static bool command_next; // Ctrl-T came: the next key is a command
static int dtr_on, rts_on; // as last set, for a port that can't tell
static bool lines_warned;
static bool in_command; // a Ctrl-T command runs: it reports a port without lines itself
static bool lines_missing; // ...and this command found none
static bool run_held_back; // a step of this run found the output held back for good

// "8N1": the framing as -m writes it.
static void framing_text(const line_format* f, char* out)
{
    snprintf(out, 8, "%d%c%d", f->data_bits, f->parity, f->stop_bits);
}

// -m<data><parity><stop>: 5 to 8, N E O M S in either case, 1 or 2.
static bool parse_framing(const char* s)
{
    if (strlen(s) != 3 || s[0] < '5' || s[0] > '8' || !strchr("NEOMS", toupper((unsigned char)s[1]))
        || (s[2] != '1' && s[2] != '2')) {
        fprintf(stderr,
            "Bad framing -m%s: use -m<data bits 5-8><parity N, E, O, M or S><stop bits 1 or 2>, as "
            "-m8N1\n",
            s);
        return false;
    }
    line_fmt.data_bits = s[0] - '0';
    line_fmt.parity = (char)toupper((unsigned char)s[1]);
    line_fmt.stop_bits = s[2] - '0';
    return true;
}

static bool parse_flow(const char* s)
{
    if (strlen(s) != 1 || !strchr("nhsNHS", s[0])) {
        fprintf(
            stderr, "Bad flow control -f%s: use -fn (none), -fh (RTS/CTS) or -fs (XON/XOFF)\n", s);
        return false;
    }
    line_fmt.flow = (char)tolower((unsigned char)s[0]);
    return true;
}

// One step of -r, in any case: dtr=0, dtr=1, rts=0, rts=1, break, or a
// wait of 1 to 10000 ms in decimal digits.
static bool parse_step(const std::string& word, line_step* step)
{
    std::string w;
    for (char c : word)
        w += (char)tolower((unsigned char)c);
    if (w == "break") {
        *step = line_step { 'b', BREAK_MS };
        return true;
    }
    if (w.size() == 5 && (w.compare(0, 4, "dtr=") == 0 || w.compare(0, 4, "rts=") == 0)
        && (w[4] == '0' || w[4] == '1')) {
        *step = line_step { w[0], w[4] - '0' };
        return true;
    }
    if (w.empty() || w.size() > 5 || w.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int ms = atoi(w.c_str());
    *step = line_step { 'w', ms };
    return ms >= 1 && ms <= MAX_WAIT_MS;
}

bool linectl_parse_step(const std::string& word, char* what, int* value)
{
    line_step step;
    if (!parse_step(word, &step)) return false;
    *what = step.what;
    *value = step.value;
    return true;
}

// Steps are separated by commas or blanks.
static bool parse_sequence(const char* text)
{
    sequence.clear();
    const char* p = text;
    while (*p) {
        size_t gap = strspn(p, ", \t");
        p += gap;
        size_t len = strcspn(p, ", \t");
        if (len == 0) break;
        std::string word(p, len);
        line_step step;
        if (!parse_step(word, &step)) {
            fprintf(stderr, "Bad step \"%s\" in -r: %s\n", word.c_str(), LINE_STEP_HELP);
            return false;
        }
        sequence.push_back(step);
        p += len;
    }
    if (sequence.empty()) {
        fprintf(stderr, "Empty sequence -r: give steps such as -r dtr=0,100,dtr=1\n");
        return false;
    }
    return true;
}

bool linectl_parse(void)
{
    line_fmt = line_format { 8, 'N', 1, 0 };
    sequence.clear();
    keys_start(option_text('k') != nullptr);
    RS_on_open(linectl_open);
    command_next = false;
    lines_warned = false;
    if (option_text('m') && !parse_framing(option_text('m'))) return false;
    if (option_text('f') && !parse_flow(option_text('f'))) return false;
    if (option_text('r') && !parse_sequence(option_text('r'))) return false;
    return true;
}

static void linectl_start(void)
{
    dtr_on = rts_on = 1; // the open raises both
}

// The port has no modem lines: said once a run, and the session goes on. A
// command says so on its own line every time.
static void no_lines(void)
{
    if (in_command) lines_missing = true;
    if (in_command || lines_warned) return;
    lines_warned = true;
    message_line();
    fflush(stdout);
    fprintf(stderr, "WARNING: %s has no modem lines\n", RS_name());
}

static void set_dtr(int on)
{
    if (RS_set_dtr(on) != 0) no_lines();
    dtr_on = on;
}

// Under -fh the driver moves RTS: a step that would move it says so instead.
static void set_rts(int on)
{
    if (line_fmt.flow == 'h') {
        message_line();
        printf("[RTS follows the flow control (-fh): not changed]\n");
        return;
    }
    if (RS_set_rts(on) != 0) no_lines();
    rts_on = on;
}

// Waits ms, watching the keyboard; what arrives meanwhile is kept.
static bool wait_ms(int ms)
{
    long end = plat_clock_ms() + ms;
    for (long left = ms; left > 0; left = end - plat_clock_ms()) {
        RS_hold_input();
        if (keys_escape_came_for_session()) return false;
        plat_sleep_ms(left < KEY_LOOK_MS ? (int)left : KEY_LOOK_MS);
    }
    return true;
}

enum drained { DRAINED, HELD_BACK, ENDED };

// What was sent before a line step goes out ahead of it (a reset pulse must
// not overtake the bytes typed before it): our queue and the driver's are
// waited out, watching the keyboard, for DRAIN_MS at most. Nothing is sent
// during a run, so once a step found the output held back that long the
// later steps of the run do not wait for it again.
static drained drain_output(void)
{
    long end = plat_clock_ms() + (run_held_back ? 0 : DRAIN_MS);
    for (;;) {
        RS_flush();
        RS_hold_input();
        if (RS_pending() == 0 && RS_out_queue() == 0) return DRAINED;
        if (keys_escape_came_for_session()) return ENDED;
        if (plat_clock_ms() >= end) return HELD_BACK;
        RS_wait(KEY_LOOK_MS, false);
    }
}

// A break waits in the driver until its output is sent, however long the
// far end holds it back: a break that would wait is not sent.
static bool line_break(int ms)
{
    drained d = drain_output();
    if (d == ENDED) return false;
    if (d == HELD_BACK) {
        run_held_back = true;
        message_line();
        printf("[output still held back by the port: no break sent]\n");
        return true;
    }
    if (RS_set_break(1) != 0) {
        no_lines();
        return true;
    }
    bool go_on = wait_ms(ms);
    RS_set_break(0);
    return go_on;
}

// A DTR or RTS step after the output sent before it, or without waiting
// longer for a port that holds it back.
static bool line_step_ready(void)
{
    drained d = drain_output();
    if (d != HELD_BACK) return d == DRAINED;
    if (run_held_back) return true; // said at the first step
    run_held_back = true;
    message_line();
    printf("[output still held back by the port: the line changes ahead of it]\n");
    return true;
}

static bool run_steps(const std::vector<line_step>& steps)
{
    keys_watch_start();
    run_held_back = false;
    for (const line_step& s : steps) {
        if ((s.what == 'd' || s.what == 'r') && !line_step_ready()) return false;
        if (s.what == 'd')
            set_dtr(s.value);
        else if (s.what == 'r')
            set_rts(s.value);
        else if (s.what == 'b' && !line_break(s.value))
            return false;
        else if (s.what == 'w' && !wait_ms(s.value))
            return false;
    }
    return true;
}

bool linectl_step(char what, int value)
{
    return run_steps({ { what, value } });
}

static bool linectl_run(void)
{
    return run_steps(sequence);
}

// "[DTR=0 RTS=1 CTS=1 DSR=0 DCD=0 RI=0]" on a line of its own; console only.
static void show_lines(void)
{
    modem_state m;
    if (lines_missing) return;
    if (RS_lines(&m) != 0) {
        no_lines();
        return;
    }
    message_line();
    printf("[DTR=%d RTS=%d CTS=%d DSR=%d DCD=%d RI=%d]\n", m.dtr, m.rts, m.cts, m.dsr, m.dcd, m.ri);
}

static int current(int modem_state::*line, int kept)
{
    modem_state m;
    return RS_lines(&m) == 0 ? m.*line : kept;
}

static const char* more_letters = "";
static const char* more_help = "";
static bool (*more_run)(int key);

void linectl_more_commands(const char* letters, const char* help, bool (*run)(int key))
{
    more_letters = letters;
    more_help = help;
    more_run = run;
}

static void show_commands(void)
{
    message_line();
    printf("Ctrl-T commands:\n"
           "  p   run the -r sequence (without -r: a 100 ms DTR pulse)\n"
           "  d   toggle DTR\n"
           "  r   toggle RTS\n"
           "  b   send a 250 ms break\n"
           "  l   show the modem lines\n"
           "%s"
           "  h ? this list\n"
           "  ^T  send Ctrl-T, ^A send Ctrl-A\n",
        more_help);
}

// A command on the lines (p, d, r, b, l); false when Ctrl-A ended it.
static bool line_command(int key)
{
    switch (key) {
    case 'p':
        return run_steps(sequence.empty()
                ? std::vector<line_step> { { 'd', 0 }, { 'w', PULSE_MS }, { 'd', 1 } }
                : sequence);
    case 'd':
        return run_steps({ { 'd', !current(&modem_state::dtr, dtr_on) } });
    case 'r':
        return run_steps({ { 'r', !current(&modem_state::rts, rts_on) } });
    case 'b':
        return run_steps({ { 'b', BREAK_MS } });
    default:
        return true;
    }
}

// The key after Ctrl-T: the byte it sends, -1 for none, or KEY_END. A
// command on the lines ends with their state, or on a port without them
// with one line that says so.
static int command(int key)
{
    if (key == COMMAND_KEY || key == ESCAPE_KEY) return key;
    int k = tolower(key);
    if (k == 'h' || k == '?') {
        show_commands();
        return KEY_NONE;
    }
    if (k != 0 && more_run && strchr(more_letters, k)) return more_run(k) ? KEY_NONE : KEY_END;
    if (k == 0 || !strchr("pdrbl", k)) {
        message_line();
        printf("[no such command: Ctrl-T h lists the commands]\n");
        return KEY_NONE;
    }
    in_command = true;
    lines_missing = false;
    bool go_on = line_command(k);
    if (go_on) show_lines();
    in_command = false;
    if (!go_on) return KEY_END;
    if (lines_missing) {
        message_line();
        printf("[no modem lines]\n");
    }
    return KEY_NONE;
}

bool linectl_acts_alone(int key)
{
    return key != COMMAND_KEY && key != ESCAPE_KEY;
}

bool linectl_command_pending(void)
{
    return command_next;
}

int linectl_key(int key)
{
    if (command_next) {
        command_next = false;
        return command(key);
    }
    if (key == ESCAPE_KEY) return KEY_END;
    if (key_makes_command(false, key)) {
        command_next = true;
        return KEY_NONE;
    }
    return key;
}

// The framing the port runs at, when it is not the one -m (and -f) asked
// for: said once, like the rate, and the run goes on.
static void linectl_check(const line_format* got)
{
    const line_format& want = line_fmt;
    bool flow_differs = want.flow != 0 && got->flow != want.flow;
    if (got->data_bits == want.data_bits && got->parity == want.parity
        && got->stop_bits == want.stop_bits && !flow_differs)
        return;
    char has[8], asked[8];
    framing_text(got, has);
    framing_text(&want, asked);
    message_line();
    if (want.flow)
        fprintf(stderr, "WARNING: %s runs at %s -f%c, not %s -f%c\n", RS_name(), has, got->flow,
            asked, want.flow);
    else
        fprintf(stderr, "WARNING: %s runs at %s, not %s\n", RS_name(), has, asked);
}

bool linectl_open(const line_format* got)
{
    if (got) linectl_check(got);
    linectl_start();
    return linectl_run();
}
