// The argument walk: options into OptionTable, then the input path and an
// optional output path.
#include "options.h"
#include "output.h"

#include <cstring>

const char* OptionTable[128];
std::vector<const char*> ChecksumOptions;
const char* InputPath = "";
const char* OutputPath = "a.out";
char** Paths;
int PathCount;

static const char UsageText[]
    = " ===== intel HEX to Dump =====\n\nUsage:\n$ marigold infile\nOption:\n  -f  cmd5 filter\n";

// --help: the options beyond the usage text, one line each.
static const char MoreOptions[]
    = "  -b                ... Dump Intel HEX data one byte per line.\n"
      "  -i                ... Check a record file: its problems, ranges and start address.\n"
      "  -x IN... OUT      ... Merge the inputs (NAME.bin@ADDR, NAME@+N, NAME@-N) into OUT.\n"
      "  -F<byte>[:large]  ... With -x and -d: fill the gaps; past 256 MiB only with :large.\n"
      "  -R<first>-<last>  ... With -x and -d: keep only the bytes from first to last.\n"
      "  -d A B            ... Compare two files' images and start addresses.\n"
      "  -K<name>[:F-L][@ADDR[/be]] ... Print a CRC or sum; check it at ADDR; with -x store it.\n"
      "  -K?@ADDR          ... Name the algorithms whose value is stored at ADDR.\n"
      "  -c                ... Print the checksum of an image.\n"
      "  -w                ... Correct the checksum word of an image in place.\n"
      "  --version         ... Print the version.\n";

bool option_given(char letter)
{
    return OptionTable[letter & 0x7f] != nullptr;
}

[[noreturn]] void usage(int code, bool more)
{
    out_str(UsageText);
    if (more) out_str(MoreOptions);
    out_newline();
    out_exit(code);
}

// --help and --version before the input path; every other "--" argument
// is an option like any other.
static void long_option(const char* arg)
{
    if (strcmp(arg, "--help") == 0) usage(0, true);
    if (strcmp(arg, "--version") == 0) {
        out_str("marigold " MARIGOLD_VERSION "\n");
        out_exit(0);
    }
}

// Options stand before the input path; the argument after the input path is
// the output path, whatever it looks like, and the rest is ignored but by
// -x and -d, which take them all. Returns
// false when the usage text is due instead.
bool walk_arguments(int argc, char** argv)
{
    for (int i = 0; i < 128; i++)
        OptionTable[i] = nullptr;
    ChecksumOptions.clear();
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            long_option(arg);
            OptionTable[arg[1] & 0x7f] = arg[1] ? arg + 2 : arg + 1;
            if (arg[1] == 'K') ChecksumOptions.push_back(arg + 2);
            if (i == argc - 1) return false;
            continue;
        }
        InputPath = arg;
        if (i + 1 < argc) OutputPath = argv[i + 1];
        Paths = argv + i;
        PathCount = argc - i;
        return true;
    }
    return false;
}
