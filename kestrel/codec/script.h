// script.h - the script language of -S and -E: the parser that turns a
// script's text into steps, and the matcher that watches received bytes for
// expect and fail patterns. No I/O: the session feeds both.
#ifndef KESTREL_SCRIPT_H
#define KESTREL_SCRIPT_H

#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

// A regex match lies within the last SCRIPT_WINDOW bytes received; this
// much (and one byte more, for ^ and \b) is all the matcher keeps. Text
// patterns are searched in the bytes as they come, so any length up to
// this one is found however the blocks split it.
#define SCRIPT_WINDOW 8192
#define SCRIPT_DEFAULT_WAIT_MS 10000 // an expect's wait until a timeout step
#define SCRIPT_MAX_MS 86400000L // longest wait, timeout or expect: a day
#define SCRIPT_RECENT 200 // bytes shown when an expect times out

enum script_op {
    OP_SEND, OP_EXPECT, OP_FAIL, OP_TIMEOUT, OP_WAIT, OP_LINE, OP_UPLOAD, OP_SAY, OP_EXIT,
    OP_INTERACT, OP_XSEND, OP_XSEND1K, OP_YSEND, OP_XRECV, OP_YRECV, OP_RUN, OP_RELEASE
};

struct script_step {
    script_op op;
    int line, column; // where the step's first word starts, both from 1
    std::string text; // send, say, run, release: the bytes; expect, fail: the pattern
    bool regex; // expect, fail: text is an ECMAScript regex, else plain bytes
    long number; // expect: its wait in ms; timeout, wait: ms; exit: the code
    char line_what; // a -r step: 'd' DTR, 'r' RTS, 'b' break, 'w' wait
    int line_value; // its value, as -r has it
    std::vector<std::string> files; // upload, xsend, xsend1k, xrecv, yrecv: one; ysend: one or more
};

// Parses a whole script; name is how errors call it (the file, or "-E").
// false: *error holds the one line "NAME:LINE:COLUMN: what is wrong".
bool script_parse(
    const std::string& text, const char* name, std::vector<script_step>* steps, std::string* error);
// A step written back in the language, as "expect /U-Boot/ 10000".
std::string script_step_text(const script_step& step);
// How an expect or fail names its pattern: "TEXT" escaped, or /REGEX/.
std::string script_pattern_text(const std::string& pattern, bool regex);
// Bytes as a script's string writes them: printable ASCII as is, \r \n \t
// \\ \" and \xNN for the rest.
std::string script_escape(const unsigned char* data, size_t n);

// One pattern the matcher looks for, from the stream offset `from` on.
struct script_pattern {
    std::string text; // the bytes, or the regex's source
    bool is_regex;
    std::regex re;
    std::string literal; // bytes that every match contains; empty: none known
    uint64_t from;
    uint64_t literal_end; // where the latest literal seen ends; 0: none in sight
};

struct script_matcher {
    std::string tail; // the last bytes received, at least SCRIPT_WINDOW + 1 of them
    uint64_t received; // bytes fed so far
    uint64_t consumed; // where the last expect's match ended
    bool expecting;
    script_pattern expect;
    std::vector<script_pattern> fails; // in the order they were declared
};

enum match_event { MATCH_NONE, MATCH_EXPECT, MATCH_FAIL };

struct match_result {
    match_event event;
    int fail; // MATCH_FAIL: which fail, by its index in the order declared
    uint64_t end; // stream offset just past the match
};

void matcher_start(script_matcher* m);
// A fail pattern: a match in any byte fed from now on is a hit.
void matcher_fail(script_matcher* m, const std::string& pattern, bool regex);
// The expect to wait for; it looks at what came after the last match too,
// so it may match at once. A match consumes the bytes up to its end.
match_result matcher_expect(script_matcher* m, const std::string& pattern, bool regex);
// Received bytes, in blocks of any size. A fail hit in the block wins over
// an expect's match.
match_result matcher_feed(script_matcher* m, const unsigned char* data, size_t n);
// The last SCRIPT_RECENT bytes received, escaped, for a timed-out expect.
std::string matcher_recent(const script_matcher* m);

#endif
