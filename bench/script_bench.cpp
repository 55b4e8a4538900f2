// script_bench.cpp - the script matcher's rate: 16 MiB of console text fed
// in blocks through five fail patterns and one expect that matches at the
// very end. Built and run by bench/script_bench.sh.
#include "codec/script.h"
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

// The parser's -r steps come from linectl.cpp; the matcher needs none.
bool linectl_parse_step(const std::string&, char*, int*) { return false; }
extern const char LINE_STEP_HELP[] = "";

static const size_t TOTAL = 16 << 20;

// Log lines of lower-case words and numbers: none of the patterns occurs
// before the last line; "the " is in nearly every line.
static std::string console_text(void)
{
    static const char* words[] = { "mmc0", "new", "high", "speed", "card", "at", "address", "the",
        "usb", "1-1", "device", "found", "eth0", "link", "up", "100mbps", "full", "duplex" };
    std::string s;
    unsigned seed = 1;
    while (s.size() < TOTAL - 64) {
        seed = seed * 1103515245 + 12345;
        char stamp[32];
        snprintf(stamp, sizeof stamp, "[%8.6f] ", (seed >> 8) % 100000 / 1000.0);
        s += stamp;
        for (int k = 0; k < 8; k++) {
            seed = seed * 1103515245 + 12345;
            s += words[(seed >> 16) % (sizeof words / sizeof *words)];
            s += ' ';
        }
        s += "\r\n";
    }
    s += "buildroot login: ";
    return s;
}

struct scenario {
    const char* name;
    bool regex;
    const char* fails[5];
    const char* expect;
};

static const scenario SCENARIOS[] = {
    { "text", false, { "Kernel panic", "Oops", "Error", "BUG:", "segfault" }, "login: " },
    { "regex", true, { "Kernel panic", "Oops[:]", "Error [0-9]+", "BUG: .*", "segfault at [0-9a-f]+" },
        "login: $" },
    { "regex, literal often in sight", true,
        { "the card at [0-9]+ khz", "Oops[:]", "Error [0-9]+", "BUG: .*", "segfault at [0-9a-f]+" },
        "login: $" },
};

static double run(const scenario& sc, const std::string& data, size_t block)
{
    script_matcher m;
    matcher_start(&m);
    for (const char* f : sc.fails)
        matcher_fail(&m, f, sc.regex);
    matcher_expect(&m, sc.expect, sc.regex);
    auto t0 = std::chrono::steady_clock::now();
    match_result r { MATCH_NONE, -1, 0 };
    for (size_t at = 0; at < data.size() && r.event == MATCH_NONE; at += block)
        r = matcher_feed(&m, (const unsigned char*)data.data() + at, std::min(block, data.size() - at));
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r.event != MATCH_EXPECT || r.end != data.size()) {
        fprintf(stderr, "FAILED: %s: the expect did not match at the end\n", sc.name);
        return -1;
    }
    return data.size() / s / 1e6;
}

int main(void)
{
    std::string data = console_text();
    printf("script matcher, %.1f MiB, 5 fail patterns and 1 expect (MB/s):\n", data.size() / 1048576.0);
    printf("  %-32s %10s %10s %10s\n", "patterns", "64 KiB", "4 KiB", "256 B");
    for (const scenario& sc : SCENARIOS) {
        double a = run(sc, data, 65536), b = run(sc, data, 4096), c = run(sc, data, 256);
        if (a < 0 || b < 0 || c < 0) return 1;
        printf("  %-32s %10.1f %10.1f %10.1f\n", sc.name, a, b, c);
    }
    return 0;
}
