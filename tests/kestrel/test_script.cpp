// test_script.cpp - the script language: parsing, matching received bytes
// against expect and fail patterns, and the escaping of bytes.
#include "codec/script.h"
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>
#include <vector>

// Steps as "LINE:COLUMN step" joined by " | ", or the error.
static std::string parsed(const std::string& text)
{
    std::vector<script_step> steps;
    std::string error, out;
    if (!script_parse(text, "t.ks", &steps, &error)) return error;
    for (const script_step& s : steps)
        out += (out.empty() ? "" : " | ") + std::to_string(s.line) + ":" + std::to_string(s.column)
            + " " + script_step_text(s);
    return out;
}

TEST(Script, ParsesStepsOrNamesTheFirstError)
{
    struct { std::string text, want; } cases[] = {
        { "send \"\\r\"; expect \"=> \" 5000; send \"version\\r\"; expect /U-Boot 20[0-9][0-9]/",
            "1:1 send \"\\r\" | 1:12 expect \"=> \" 5000 | 1:31 send \"version\\r\" | "
            "1:49 expect /U-Boot 20[0-9][0-9]/ 10000" },
        { "timeout 2000\r\nexpect \"a;#\" # note\n  # only a note\nfail /x;y#\\/z/;wait 0\n"
          "dtr=0; 100 ;DTR=1,,break\n",
            "1:1 timeout 2000 | 2:1 expect \"a;#\" 2000 | 4:1 fail /x;y#\\/z/ | 4:16 wait 0 | "
            "5:1 dtr=0 | 5:8 100 | 5:13 dtr=1 | 5:20 break" },
        { "rts=1,5,rts=0,dtr=x", "t.ks:1:15: bad step \"dtr=x\": use dtr=0, dtr=1, rts=0, rts=1, "
                                  "break, or a wait of 1 to 10000 ms" },
        { "upload \"my file.bin\"; say \"\\e[1m\\a\\0\\x7F\\t\\\"\\\\\"; exit 3; interact",
            "1:1 upload \"my file.bin\" | 1:23 say \"\\x1b[1m\\x07\\x00\\x7f\\t\\\"\\\\\" | "
            "1:50 exit 3 | 1:58 interact" },
        { "xsend fw.bin;xsend1k /tmp/a;ysend a \"b c\" d\nxrecv o.bin; yrecv in; run \"sz %p\"; "
          "release \"flash %p\"",
            "1:1 xsend fw.bin | 1:14 xsend1k /tmp/a | 1:29 ysend a \"b c\" d | 2:1 xrecv o.bin | "
            "2:14 yrecv in | 2:24 run \"sz %p\" | 2:37 release \"flash %p\"" },
        { "send \"abc", "t.ks:1:6: unclosed quote" },
        { "send \"ab\\", "t.ks:1:6: unclosed quote" },
        { "send \"a\"\n\n  send \"a\\qb\"", "t.ks:3:10: unknown escape \"\\q\"" },
        { "send \"\\x4\"", "t.ks:1:7: bad escape: \\x takes two hex digits" },
        { "send \"\\012\"", "t.ks:1:7: \\0 is one NUL byte: write other bytes as \\xNN" },
        { "expect /a(b/", "t.ks:1:8: bad regex: unmatched ( or ), or a repeat of nothing" },
        { "expect /a[b/", "t.ks:1:8: bad regex: unmatched [" },
        { "fail /[b-a]/", "t.ks:1:6: bad regex: bad range in []" },
        { "fail /a{2,1}/", "t.ks:1:6: bad regex: bad {} repeat" },
        { "expect /(a)\\1/", "t.ks:1:8: bad regex: back-references are not supported" },
        { "expect /abc\nsend \"x\"", "t.ks:1:8: unclosed regex" },
        { "expect \"\"", "t.ks:1:8: empty pattern" },
        { "expect \"x\" 5s", "t.ks:1:12: bad number \"5s\": use milliseconds from 0 to 86400000" },
        { "wait 86400001", "t.ks:1:6: bad number \"86400001\": use milliseconds from 0 to 86400000" },
        { "exit 256", "t.ks:1:6: bad number \"256\": use an exit code from 0 to 255" },
        { "expect  # nothing", "t.ks:1:9: missing argument: use expect \"TEXT\" [MS] or expect /REGEX/ [MS]" },
        { "expect x", "t.ks:1:8: expected \"TEXT\" or /REGEX/: use expect \"TEXT\" [MS] or expect /REGEX/ [MS]" },
        { "send x", "t.ks:1:6: expected a quoted text: use send \"TEXT\"" },
        { "send \"a\"\n\nwait  5000 6", "t.ks:3:12: extra argument: use wait MS" },
        { "interact now", "t.ks:1:10: extra argument: use interact" },
        { "break 5", "t.ks:1:7: extra argument: a line step stands alone" },
        { "Send \"x\"", "t.ks:1:1: unknown step \"Send\"" },
        { "20000", "t.ks:1:1: bad step \"20000\": use dtr=0, dtr=1, rts=0, rts=1, break, or a wait of 1 "
                   "to 10000 ms" },
        { "; # nothing here\n", "t.ks:2:1: no steps" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsed(c.text), c.want) << c.text;
}

// Operations: "eTEXT" / "EREGEX" set the expect, "fTEXT" / "FREGEX" add a
// fail, ">BYTES" feeds a block. Events: "e<end>" and "f<index>@<end>".
static std::string run_matcher(const std::vector<std::string>& ops)
{
    script_matcher m;
    matcher_start(&m);
    std::string events;
    for (const std::string& op : ops) {
        std::string arg = op.substr(1);
        match_result r { MATCH_NONE, -1, 0 };
        if (op[0] == 'e' || op[0] == 'E') r = matcher_expect(&m, arg, op[0] == 'E');
        if (op[0] == 'f' || op[0] == 'F') matcher_fail(&m, arg, op[0] == 'F');
        if (op[0] == '>') r = matcher_feed(&m, (const unsigned char*)arg.data(), arg.size());
        if (r.event == MATCH_EXPECT) events += " e" + std::to_string(r.end);
        if (r.event == MATCH_FAIL) events += " f" + std::to_string(r.fail) + "@" + std::to_string(r.end);
    }
    return events.empty() ? "-" : events.substr(1);
}

TEST(Script, MatchesAcrossBlocks)
{
    std::string x9k(9000, 'x'), x100k(100000, 'x'), x20k(20000, 'x');
    struct { std::vector<std::string> ops; std::string want; } cases[] = {
        { { "e=> ", ">U-Boot\r\n=", ">> x" }, "e11" },
        { { "ebcde", ">ab", ">cd", ">ef" }, "e5" },
        { { ">ab ab", "eab", "eab", "eab", ">xab" }, "e2 e5 e8" }, // each match consumes
        { { ">a1 a2", "Ea[0-9]", "Ea[0-9]", "Ea[0-9]" }, "e2 e5" },
        { { "E^abc$", ">xabc\n", ">abc\n" }, "e8" }, // anchors are line anchors
        { { ">login: ", "e: ", "E^x", ">x", ">\nx" }, "e7 e10" }, // ^ sees the byte before
        { { "E^ab", ">ab" }, "e2" },
        { { "E=> $", ">=> " }, "e3" }, // $ at the end of what came so far
        { { "fpanic", ">kernel pa", ">nic!" }, "f0@12" },
        { { ">panic", "fpanic", ">!" }, "-" }, // a fail sees only what comes after it
        { { "eok", "fpanic", ">ok panic" }, "f0@8" }, // in one block a fail wins
        { { "FOops[:]", ">Oo", ">ps: x" }, "f0@5" },
        { { "fpanic", "FOops", ">x Oops" }, "f1@6" },
        { { "F[Pp]anic.*$", ">panic", ">!\n", ">Panic" }, "f0@5 f0@12" }, // each hit once
        { { "EError: [0-9]+\n", ">Error: ", ">42", ">\n" }, "e10" },
        { { "E[0-9]{3}", ">ab1", ">23" }, "e5" },
        { { "Ecolou?r", ">colo", ">r" }, "e5" },
        { { "E\\x41B+", ">AB" }, "e2" },
        { { "E(foo)?bar|baz", ">ba", ">r" }, "e3" },
        { { "Ea{2}b", ">aab" }, "e3" },
        { { "EBEGIN[^]*END", ">BEGIN", ">xx", ">END" }, "e10" },
        { { "EBEGIN[^]*END", ">BEGIN", ">" + x9k, ">END" }, "-" }, // longer than the window
        { { "eEND", ">" + x100k, ">EN", ">D" }, "e100003" }, // text is never missed
        { { "eneedle", ">" + x20k + "needle" + x20k }, "e20006" },
        { { ">" + x20k + "needle", "eneedle" }, "e20006" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_matcher(c.ops), c.want) << c.ops[0] << " " << c.ops[1];
}

TEST(Script, MatchesSplitAtEveryPosition)
{
    std::string stream = "## Booting\r\nU-Boot 2024.01 (Jan)\r\nKernel panic - oops\r\n";
    struct { std::string op; std::string want; } cases[] = {
        { "eU-Boot 2024", "e23" },
        { "EU-Boot 20[0-9][0-9]", "e23" },
        { "E^U-Boot [0-9.]+ \\(\\w+\\)\r$", "e33" },
        { "fpanic - oops", "f0@53" },
        { "F[Pp]anic.*oops$", "f0@53" },
    };
    for (const auto& c : cases)
        for (size_t cut = 0; cut <= stream.size(); cut++)
            EXPECT_EQ(run_matcher({ c.op, ">" + stream.substr(0, cut), ">" + stream.substr(cut) }), c.want)
                << c.op << " cut at " << cut;
}

// A regex attempt may take in the whole window: its depth must not grow
// with it, not even on half a megabyte of stack.
static void* long_attempt(void* result)
{
    *(std::string*)result = run_matcher({ "E((a)|(b))*c", ">" + std::string(2500, 'a'), ">c" });
    return nullptr;
}

TEST(Script, RegexAttemptsDoNotRecursePerByte)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 512 * 1024);
    pthread_t thread;
    std::string result;
    ASSERT_EQ(pthread_create(&thread, &attr, long_attempt, &result), 0);
    pthread_join(thread, nullptr);
    EXPECT_EQ(result, "e2501");
}

TEST(Script, EscapesBytesForMessages)
{
    std::string all;
    for (int c = 0; c < 256; c++)
        all += (char)c;
    std::string want = "\\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\t\\n\\x0b\\x0c\\r";
    EXPECT_EQ(script_escape((const unsigned char*)all.data(), 14), want);
    EXPECT_EQ(script_escape((const unsigned char*)all.data() + 32, 96),
        " !\\\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\\\]^_`"
        "abcdefghijklmnopqrstuvwxyz{|}~\\x7f");
    EXPECT_EQ(script_escape((const unsigned char*)all.data() + 254, 2), "\\xfe\\xff");

    script_matcher m;
    matcher_start(&m);
    std::string fed = std::string(300, 'a') + std::string(199, 'b') + "\n";
    matcher_feed(&m, (const unsigned char*)fed.data(), 250);
    matcher_feed(&m, (const unsigned char*)fed.data() + 250, fed.size() - 250);
    EXPECT_EQ(matcher_recent(&m), std::string(199, 'b') + "\\n");
}
