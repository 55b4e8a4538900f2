// script.cpp - the script language: its parser, the matcher of expect and
// fail patterns, and the escaping of bytes for messages.
#include "codec/script.h"
#include "linectl.h"
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

// libstdc++'s backtracking matcher recurses once or more for each byte an
// attempt takes in, and a window of console output overflows the stack;
// its other matcher keeps a set of states instead, at the price of
// back-references.
#ifdef __GLIBCXX__
static const std::regex::flag_type REGEX_FLAGS
    = std::regex::ECMAScript | std::regex::multiline | std::regex_constants::__polynomial;
#else
static const std::regex::flag_type REGEX_FLAGS = std::regex::ECMAScript | std::regex::multiline;
#endif

// ---- Parser --------------------------------------------------------------

enum arg_kind { ARG_TEXT, ARG_PATTERN, ARG_MS, ARG_CODE, ARG_FILE };

struct step_syntax {
    const char* word;
    script_op op;
    int args; // how many arguments it must have
    arg_kind kind; // what they are
    const char* usage; // shown when one is missing or wrong
};

static const step_syntax SYNTAX[] = {
    { "send", OP_SEND, 1, ARG_TEXT, "send \"TEXT\"" },
    { "expect", OP_EXPECT, 1, ARG_PATTERN, "expect \"TEXT\" [MS] or expect /REGEX/ [MS]" },
    { "fail", OP_FAIL, 1, ARG_PATTERN, "fail \"TEXT\" or fail /REGEX/" },
    { "timeout", OP_TIMEOUT, 1, ARG_MS, "timeout MS" },
    { "wait", OP_WAIT, 1, ARG_MS, "wait MS" },
    { "upload", OP_UPLOAD, 1, ARG_FILE, "upload FILE" },
    { "say", OP_SAY, 1, ARG_TEXT, "say \"TEXT\"" },
    { "exit", OP_EXIT, 1, ARG_CODE, "exit N" },
    { "interact", OP_INTERACT, 0, ARG_FILE, "interact" },
    { "xsend", OP_XSEND, 1, ARG_FILE, "xsend FILE" },
    { "xsend1k", OP_XSEND1K, 1, ARG_FILE, "xsend1k FILE" },
    { "ysend", OP_YSEND, 1, ARG_FILE, "ysend FILE..." },
    { "xrecv", OP_XRECV, 1, ARG_FILE, "xrecv FILE" },
    { "yrecv", OP_YRECV, 1, ARG_FILE, "yrecv DIR" },
    { "run", OP_RUN, 1, ARG_TEXT, "run \"CMD\"" },
    { "release", OP_RELEASE, 1, ARG_TEXT, "release \"CMD\"" },
};

struct reader {
    const std::string* s;
    size_t at;
    int line;
    size_t line_start; // offset where the current line starts
    const char* name;
    std::string* error;
    long default_ms; // an expect's wait, as the last timeout step set it
};

static int column_of(const reader* r, size_t at)
{
    return (int)(at - r->line_start) + 1;
}

static bool fail_at(reader* r, size_t at, const std::string& what)
{
    *r->error = std::string(r->name) + ":" + std::to_string(r->line) + ":"
        + std::to_string(column_of(r, at)) + ": " + what;
    return false;
}

static int peek(const reader* r)
{
    return r->at < r->s->size() ? (unsigned char)(*r->s)[r->at] : -1;
}

static void skip_blanks(reader* r)
{
    while (peek(r) == ' ' || peek(r) == '\t' || peek(r) == '\r')
        r->at++;
}

static bool at_step_end(const reader* r)
{
    int c = peek(r);
    return c < 0 || c == '\n' || c == ';' || c == '#';
}

// A bare word ends at a blank, the step's end or a quote.
static std::string bare_word(reader* r)
{
    size_t start = r->at;
    while (!at_step_end(r) && !strchr(" \t\r\"", peek(r)))
        r->at++;
    return r->s->substr(start, r->at - start);
}

static int hex_value(int c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One escape after its backslash, into *out; false names what is wrong.
static bool read_escape(reader* r, std::string* out)
{
    size_t slash = r->at - 1;
    int c = peek(r);
    static const char FROM[] = "rntae\\\"", TO[] = "\r\n\t\a\x1b\\\"";
    if (c > 0 && strchr(FROM, c)) {
        *out += TO[strchr(FROM, c) - FROM];
        r->at++;
        return true;
    }
    if (c == '0') {
        r->at++;
        // No octal: \012 would read as NUL, '1', '2' otherwise.
        if (peek(r) >= '0' && peek(r) <= '9')
            return fail_at(r, slash, "\\0 is one NUL byte: write other bytes as \\xNN");
        *out += '\0';
        return true;
    }
    if (c == 'x') {
        int hi = r->at + 1 < r->s->size() ? hex_value((*r->s)[r->at + 1]) : -1;
        int lo = r->at + 2 < r->s->size() ? hex_value((*r->s)[r->at + 2]) : -1;
        if (hi < 0 || lo < 0) return fail_at(r, slash, "bad escape: \\x takes two hex digits");
        *out += (char)(hi * 16 + lo);
        r->at += 3;
        return true;
    }
    return fail_at(r, slash, std::string("unknown escape \"\\") + (char)c + "\"");
}

// "TEXT" with its escapes; the reader stands on the opening quote.
static bool quoted(reader* r, std::string* out)
{
    size_t open = r->at++;
    for (;;) {
        int c = peek(r);
        if (c < 0 || c == '\n') return fail_at(r, open, "unclosed quote");
        r->at++;
        if (c == '"') return true;
        if (c == '\\' && (peek(r) < 0 || peek(r) == '\n')) return fail_at(r, open, "unclosed quote");
        if (c != '\\')
            *out += (char)c;
        else if (!read_escape(r, out))
            return false;
    }
}

// std::regex says what is wrong only through an exception; its codes get
// our own words, the same on every build.
static const char* regex_problem(const std::string& source)
{
    try {
        std::regex re(source, REGEX_FLAGS);
        return nullptr;
    } catch (const std::regex_error& e) {
        switch (e.code()) {
        case std::regex_constants::error_paren: return "unmatched ( or ), or a repeat of nothing";
        case std::regex_constants::error_brack: return "unmatched [";
        case std::regex_constants::error_brace: return "unmatched {";
        case std::regex_constants::error_badbrace: return "bad {} repeat";
        case std::regex_constants::error_badrepeat: return "*, +, ? or {} repeats nothing";
        case std::regex_constants::error_escape: return "bad escape";
        case std::regex_constants::error_range: return "bad range in []";
        case std::regex_constants::error_collate:
        case std::regex_constants::error_ctype: return "unknown [[:class:]] name";
        case std::regex_constants::error_backref: return "bad back-reference";
        case std::regex_constants::error_complexity: return "back-references are not supported";
        default: return "too complex";
        }
    }
}

// /REGEX/: a slash inside is written \/; other escapes go to std::regex as
// they are. The reader stands on the opening slash.
static bool slashed(reader* r, std::string* out)
{
    size_t open = r->at++;
    for (;;) {
        int c = peek(r);
        if (c < 0 || c == '\n') return fail_at(r, open, "unclosed regex");
        r->at++;
        if (c == '/') break;
        if (c == '\\' && (peek(r) < 0 || peek(r) == '\n')) return fail_at(r, open, "unclosed regex");
        if (c == '\\' && peek(r) == '/') {
            *out += '/';
            r->at++;
        } else if (c == '\\') {
            *out += '\\';
            *out += (*r->s)[r->at++];
        } else {
            *out += (char)c;
        }
    }
    if (out->empty()) return fail_at(r, open, "empty pattern");
    const char* problem = regex_problem(*out);
    return problem ? fail_at(r, open, std::string("bad regex: ") + problem) : true;
}

static bool pattern_arg(reader* r, script_step* step, const char* usage)
{
    step->regex = peek(r) == '/';
    if (peek(r) != '"' && peek(r) != '/')
        return fail_at(r, r->at, std::string("expected \"TEXT\" or /REGEX/: use ") + usage);
    size_t open = r->at;
    if (!(step->regex ? slashed(r, &step->text) : quoted(r, &step->text))) return false;
    if (step->text.empty()) return fail_at(r, open, "empty pattern");
    if (step->text.size() > SCRIPT_WINDOW)
        return fail_at(r, open, "pattern longer than " + std::to_string(SCRIPT_WINDOW) + " bytes");
    return true;
}

// Decimal digits from 0 to max.
static bool number_arg(reader* r, long max, const char* what, long* value)
{
    size_t start = r->at;
    std::string w = bare_word(r);
    bool digits = !w.empty() && w.size() <= 9 && w.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || atol(w.c_str()) > max)
        return fail_at(r, start,
            "bad number \"" + w + "\": use " + what + " from 0 to " + std::to_string(max));
    *value = atol(w.c_str());
    return true;
}

static bool one_arg(reader* r, const step_syntax* syn, script_step* step)
{
    switch (syn->kind) {
    case ARG_TEXT:
        if (peek(r) != '"')
            return fail_at(r, r->at, std::string("expected a quoted text: use ") + syn->usage);
        return quoted(r, &step->text);
    case ARG_PATTERN:
        return pattern_arg(r, step, syn->usage);
    case ARG_MS:
        return number_arg(r, SCRIPT_MAX_MS, "milliseconds", &step->number);
    case ARG_CODE:
        return number_arg(r, 255, "an exit code", &step->number);
    case ARG_FILE:
        step->files.push_back("");
        if (peek(r) == '"') return quoted(r, &step->files.back());
        step->files.back() = bare_word(r);
        return true;
    }
    return false;
}

static bool arguments(reader* r, const step_syntax* syn, script_step* step)
{
    for (int k = 0; k < syn->args; k++) {
        skip_blanks(r);
        if (at_step_end(r)) return fail_at(r, r->at, std::string("missing argument: use ") + syn->usage);
        if (!one_arg(r, syn, step)) return false;
    }
    skip_blanks(r);
    bool more_files = syn->op == OP_YSEND;
    while (more_files && !at_step_end(r)) {
        if (!one_arg(r, syn, step)) return false;
        skip_blanks(r);
    }
    if (syn->op == OP_EXPECT) {
        step->number = r->default_ms;
        if (!at_step_end(r) && !number_arg(r, SCRIPT_MAX_MS, "milliseconds", &step->number))
            return false;
        skip_blanks(r);
    }
    if (syn->op == OP_TIMEOUT) r->default_ms = step->number;
    if (!at_step_end(r)) return fail_at(r, r->at, std::string("extra argument: use ") + syn->usage);
    return true;
}

// A word that is no step of ours is a -r step, or an error worded as -r's.
static bool line_step(reader* r, size_t start, const std::string& word, script_step* step)
{
    step->op = OP_LINE;
    step->column = column_of(r, start);
    if (linectl_parse_step(word, &step->line_what, &step->line_value)) return true;
    std::string low;
    for (char c : word)
        low += (char)tolower((unsigned char)c);
    bool looks_like_line = isdigit((unsigned char)low[0]) || low.compare(0, 3, "dtr") == 0
        || low.compare(0, 3, "rts") == 0 || low.find(',') != std::string::npos;
    if (looks_like_line) return fail_at(r, start, "bad step \"" + word + "\": " + LINE_STEP_HELP);
    return fail_at(r, start, "unknown step \"" + word + "\"");
}

// A -r sequence as -r writes it, "dtr=0,100,dtr=1": a step for each part
// (empty parts are gaps, as in -r).
static bool line_steps(reader* r, size_t start, const std::string& word, script_step* step,
    std::vector<script_step>* steps)
{
    for (size_t part = 0; part <= word.size();) {
        size_t comma = std::min(word.find(',', part), word.size());
        std::string one = word.substr(part, comma - part);
        if (!one.empty() && !line_step(r, start + part, one, step)) return false;
        if (!one.empty()) steps->push_back(*step);
        part = comma + 1;
    }
    skip_blanks(r);
    if (!at_step_end(r)) return fail_at(r, r->at, "extra argument: a line step stands alone");
    return true;
}

static bool one_step(reader* r, std::vector<script_step>* steps)
{
    script_step step {};
    step.line = r->line;
    step.column = column_of(r, r->at);
    size_t start = r->at;
    std::string word = bare_word(r);
    if (word.empty()) return fail_at(r, start, "unknown step: a step starts with a word");
    const step_syntax* syn = nullptr;
    for (const step_syntax& s : SYNTAX)
        if (word == s.word) syn = &s;
    if (!syn) return line_steps(r, start, word, &step, steps);
    step.op = syn->op;
    if (!arguments(r, syn, &step)) return false;
    steps->push_back(step);
    return true;
}

bool script_parse(
    const std::string& text, const char* name, std::vector<script_step>* steps, std::string* error)
{
    reader r { &text, 0, 1, 0, name, error, SCRIPT_DEFAULT_WAIT_MS };
    steps->clear();
    for (;;) {
        skip_blanks(&r);
        int c = peek(&r);
        if (c < 0) break;
        if (c == '#') {
            while (peek(&r) >= 0 && peek(&r) != '\n')
                r.at++;
        } else if (c == '\n') {
            r.line++;
            r.line_start = ++r.at;
        } else if (c == ';') {
            r.at++;
        } else if (!one_step(&r, steps)) {
            return false;
        }
    }
    if (steps->empty()) return fail_at(&r, r.at, "no steps");
    return true;
}

// ---- Writing back ----------------------------------------------------------

std::string script_escape(const unsigned char* data, size_t n)
{
    std::string out;
    for (size_t k = 0; k < n; k++) {
        unsigned char c = data[k];
        const char* named = c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\t' ? "\\t"
            : c == '\\' ? "\\\\" : c == '"' ? "\\\"" : nullptr;
        if (named) {
            out += named;
        } else if (c >= 0x20 && c < 0x7f) {
            out += (char)c;
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

static std::string quote(const std::string& s)
{
    return "\"" + script_escape((const unsigned char*)s.data(), s.size()) + "\"";
}

std::string script_pattern_text(const std::string& pattern, bool regex)
{
    if (!regex) return quote(pattern);
    std::string out = "/";
    for (size_t k = 0; k < pattern.size(); k++) {
        if (pattern[k] == '/')
            out += "\\/";
        else if (pattern[k] == '\\' && k + 1 < pattern.size())
            out += pattern.substr(k++, 2);
        else
            out += pattern[k];
    }
    return out + "/";
}

static std::string file_text(const std::string& f)
{
    bool bare = !f.empty() && f.find_first_of(" \t\r\n;#\"") == std::string::npos;
    return bare ? f : quote(f);
}

std::string script_step_text(const script_step& step)
{
    std::string out;
    for (const step_syntax& s : SYNTAX)
        if (s.op == step.op) out = s.word;
    switch (step.op) {
    case OP_SEND: case OP_SAY: case OP_RUN: case OP_RELEASE:
        return out + " " + quote(step.text);
    case OP_EXPECT:
        return out + " " + script_pattern_text(step.text, step.regex) + " " + std::to_string(step.number);
    case OP_FAIL:
        return out + " " + script_pattern_text(step.text, step.regex);
    case OP_TIMEOUT: case OP_WAIT: case OP_EXIT:
        return out + " " + std::to_string(step.number);
    case OP_LINE:
        if (step.line_what == 'b') return "break";
        if (step.line_what == 'w') return std::to_string(step.line_value);
        return std::string(step.line_what == 'd' ? "dtr=" : "rts=") + std::to_string(step.line_value);
    case OP_INTERACT:
        return out;
    default:
        for (const std::string& f : step.files)
            out += " " + file_text(f);
        return out;
    }
}

// ---- Matcher -----------------------------------------------------------------

// The longest run of plain characters that every match of the regex must
// contain, so that the regex runs only while one is in sight. Anything
// doubtful gives up: an alternative, a group, a class or an escape ends a
// run, and a character that a repeat may skip is left out of it.
static std::string required_literal(const std::string& re)
{
    if (re.find('|') != std::string::npos) return "";
    std::string best, run;
    int depth = 0;
    auto end_run = [&]() {
        if (run.size() > best.size()) best = run;
        run.clear();
    };
    for (size_t k = 0; k < re.size(); k++) {
        char c = re[k];
        bool literal = false;
        char lit = c;
        if (c == '\\' && k + 1 < re.size()) {
            lit = re[++k];
            literal = strchr(".*+?()[]{}|^$\\/-", lit) != nullptr;
            if (lit == 'x') k += 2; // \xNN, \uNNNN, \cX: their letters are no literal
            if (lit == 'u') k += 4;
            if (lit == 'c') k += 1;
        } else if (c == '[') {
            for (k++; k < re.size() && re[k] != ']'; k++)
                if (re[k] == '\\') k++;
        } else if (c == '(') {
            depth++;
        } else if (c == ')') {
            depth--;
        } else if (c == '{') {
            k = std::min(re.find('}', k), re.size());
        } else if (c != '*' && c != '?' && c != '+') {
            literal = !strchr(".^$", c);
        }
        if (literal && depth == 0 && !(k + 1 < re.size() && strchr("*?{", re[k + 1])))
            run += lit;
        else
            end_run();
    }
    end_run();
    return best;
}

static void pattern_init(script_pattern* p, const std::string& text, bool regex, uint64_t from)
{
    p->text = text;
    p->is_regex = regex;
    if (regex) p->re = std::regex(text, REGEX_FLAGS);
    p->literal = regex ? required_literal(text) : text;
    p->from = from;
    p->literal_end = 0;
}

void matcher_start(script_matcher* m)
{
    m->tail.clear();
    m->received = m->consumed = 0;
    m->expecting = false;
    m->fails.clear();
}

static uint64_t tail_start(const script_matcher* m)
{
    return m->received - m->tail.size();
}

// Where text of this length is first found in [from, received), or where
// its latest occurrence is (last); -1 when it isn't.
static int64_t find_text(const script_matcher* m, const std::string& text, uint64_t from, bool last)
{
    const char* base = m->tail.data() - tail_start(m); // index by stream offset
    const char* hay = base + from;
    const char* end = base + m->received;
    int64_t found = -1;
    size_t len = text.size();
    while ((size_t)(end - hay) >= len) {
        const char* c = (const char*)memchr(hay, text[0], end - hay - len + 1);
        if (!c) break;
        if (memcmp(c, text.data(), len) == 0) {
            found = c - base;
            if (!last) break;
        }
        hay = c + 1;
    }
    return found;
}

// Sets *end past the earliest match in the bytes from the pattern's start
// on, given that the bytes not yet looked at begin at `fresh`.
static bool search(script_matcher* m, script_pattern* p, uint64_t fresh, uint64_t* end)
{
    uint64_t oldest = std::max(p->from, tail_start(m));
    if (!p->literal.empty()) {
        size_t overlap = p->literal.size() - 1;
        uint64_t look = std::max(oldest, fresh > overlap ? fresh - overlap : 0);
        int64_t at = find_text(m, p->literal, look, p->is_regex);
        if (at >= 0 && !p->is_regex) *end = at + p->literal.size();
        if (!p->is_regex) return at >= 0;
        if (at >= 0) p->literal_end = at + p->literal.size();
    }
    uint64_t window = std::max(oldest, m->received > SCRIPT_WINDOW ? m->received - SCRIPT_WINDOW : 0);
    if (!p->literal.empty() && p->literal_end < window + p->literal.size()) return false;
    const char* base = m->tail.data() - tail_start(m);
    auto flags = window > 0 ? std::regex_constants::match_prev_avail : std::regex_constants::match_default;
    std::cmatch found;
    if (!std::regex_search(base + window, base + m->received, found, p->re, flags)) return false;
    *end = window + found.position(0) + found.length(0);
    return true;
}

// Keeps SCRIPT_WINDOW + 1 bytes, trimming only when twice as many are held.
static void append(script_matcher* m, const unsigned char* data, size_t n)
{
    m->tail.append((const char*)data, n);
    m->received += n;
    if (m->tail.size() > 2 * (SCRIPT_WINDOW + 1))
        m->tail.erase(0, m->tail.size() - (SCRIPT_WINDOW + 1));
}

static match_result expect_found(script_matcher* m, uint64_t end)
{
    m->consumed = end;
    m->expecting = false;
    return match_result { MATCH_EXPECT, -1, end };
}

void matcher_fail(script_matcher* m, const std::string& pattern, bool regex)
{
    m->fails.emplace_back();
    pattern_init(&m->fails.back(), pattern, regex, m->received);
}

match_result matcher_expect(script_matcher* m, const std::string& pattern, bool regex)
{
    pattern_init(&m->expect, pattern, regex, m->consumed);
    m->expecting = true;
    uint64_t end;
    bool found = search(m, &m->expect, m->consumed, &end);
    return found ? expect_found(m, end) : match_result { MATCH_NONE, -1, 0 };
}

// One piece no longer than the window, so the overlap it needs is kept.
static match_result feed_piece(script_matcher* m, const unsigned char* data, size_t n)
{
    uint64_t fresh = m->received;
    append(m, data, n);
    uint64_t end;
    for (size_t k = 0; k < m->fails.size(); k++)
        if (search(m, &m->fails[k], fresh, &end)) {
            m->fails[k].from = end; // the next hit is a new one
            return match_result { MATCH_FAIL, (int)k, end };
        }
    bool found = m->expecting && search(m, &m->expect, fresh, &end);
    return found ? expect_found(m, end) : match_result { MATCH_NONE, -1, 0 };
}

match_result matcher_feed(script_matcher* m, const unsigned char* data, size_t n)
{
    match_result result { MATCH_NONE, -1, 0 };
    for (size_t done = 0; done < n;) {
        size_t piece = std::min(n - done, (size_t)SCRIPT_WINDOW);
        match_result r = feed_piece(m, data + done, piece);
        done += piece;
        if (r.event == MATCH_FAIL) return r;
        if (r.event == MATCH_EXPECT) result = r;
    }
    return result;
}

std::string matcher_recent(const script_matcher* m)
{
    size_t n = std::min(m->tail.size(), (size_t)SCRIPT_RECENT);
    return script_escape((const unsigned char*)m->tail.data() + m->tail.size() - n, n);
}
