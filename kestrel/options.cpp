// options.cpp - the option walk: each letter's text in opt_table, and the
// process-wide settings the options give.
#include "options.h"
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

const char* opt_table[128];
int com_port;
const char* port_name; // a port given by name with -c; com_port stays 0
int baud_rate;
FILE* log_fp;
const char* upload_path;
bool debug_flag;
bool wait_flag;
line_format line_fmt = { 8, 'N', 1, 0 };

// The text given with an option letter, or null when the option is absent.
const char* option_text(char letter)
{
    return opt_table[letter & 0x7f];
}

// Every letter that some part of the program reads.
static const char KNOWN_LETTERS[] = "bcdefhklmprstuwxEFLSTU?/-";
// The letters that take their value from the next argument when none is attached.
static const char NEXT_WORD_LETTERS[] = "blrFSE";

// What the last walk left unread, one WARNING line each.
static std::string walk_warnings;

// The arguments from the one that ended the walk on, all ignored; a hint
// where the shell split a -r sequence or a -u file went apart from its letter.
static std::string ignored_from(int argc, char** argv, int first, bool after_sequence)
{
    std::string rest;
    for (int i = first; i < argc; i++)
        rest += std::string(i > first ? " " : "") + argv[i];
    std::string note = std::string("WARNING: \"") + argv[first] + "\" ends the options: " + rest
        + " ignored";
    const char* before = argv[first - 1];
    if (after_sequence)
        note += " (a -r sequence with blanks goes in quotes)";
    else if (before[0] == '-' && (before[1] == 'u' || before[1] == 'U') && before[2] == 0)
        note += std::string(" (the file goes in the same argument: ") + before + argv[first] + ")";
    return note + "\n";
}

// Fills opt_table; the walk stops at the first argument that is not an option.
void parse_args(int argc, char** argv)
{
    memset(opt_table, 0, sizeof opt_table);
    walk_warnings.clear();
    bool took_sequence = false; // the last argument was the value of a bare -r
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char* arg = argv[i];
        int letter = arg[1] & 0x7f;
        took_sequence = false;
        if (letter == 0) { // "-" alone: no letter, nothing after it
            opt_table[0] = arg + 1;
            continue;
        }
        if (!strchr(KNOWN_LETTERS, letter))
            walk_warnings += std::string("WARNING: unknown option ") + arg + " ignored\n";
        const char* value = arg + 2;
        if (*value == 0 && strchr(NEXT_WORD_LETTERS, letter)) {
            value = (i + 1 < argc) ? argv[++i] : nullptr;
            took_sequence = value && letter == 'r';
            if (!value && letter == 'r') walk_warnings += "WARNING: -r without a sequence ignored\n";
            if (!value && letter == 'F') walk_warnings += "WARNING: -F without a command ignored\n";
            if (!value && (letter == 'S' || letter == 'E')) value = ""; // alone: a script refused
        }
        opt_table[letter] = value;
    }
    if (i < argc) walk_warnings += ignored_from(argc, argv, i, took_sequence);
}

const char* option_warnings(void)
{
    return walk_warnings.c_str();
}

const char* option_skip_blanks(const char* s)
{
    while (*s == ' ' || *s == '\t')
        s++;
    return s;
}

// -c: digits are a COM number, as is COMn in any case; anything else names
// a device. An empty value chooses nothing, so the scan picks the port.
void choose_port(const char* value)
{
    const char* s = option_skip_blanks(value);
    if (strlen(s) > 3 && toupper((unsigned char)s[0]) == 'C' && toupper((unsigned char)s[1]) == 'O'
        && toupper((unsigned char)s[2]) == 'M' && isdigit((unsigned char)s[3]))
        s += 3;
    const char* digits = (*s == '-' || *s == '+') ? s + 1 : s;
    size_t n = strspn(digits, "0123456789");
    if (n > 0 && digits[n] == 0)
        sscanf(s, "%d", &com_port);
    else if (*s)
        port_name = value;
}

// -b: the number at the start of the value, as "%d" reads it (blanks, a
// sign, digits; "12abc" is 12). False when it holds no number. The number is
// read in full, so a value past the 32-bit range is seen as such.
bool read_rate(const char* value, long long* rate)
{
    const char* s = value;
    while (isspace((unsigned char)*s))
        s++;
    bool minus = *s == '-';
    if (*s == '-' || *s == '+') s++;
    if (!isdigit((unsigned char)*s)) return false;
    long long n = 0;
    for (; isdigit((unsigned char)*s); s++)
        if (n <= 2147483648LL) n = n * 10 + (*s - '0');
    *rate = minus ? -n : n;
    return true;
}

void options_reset(void)
{
    com_port = 0;
    port_name = nullptr;
    baud_rate = 1000000;
    log_fp = nullptr;
    upload_path = nullptr;
    debug_flag = false;
    wait_flag = false;
}
