// Arbitrary bytes through the filter, from an input file to an output file.
// Every output line must be a whole input line that starts with ":", in
// input order, ended by CR LF.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "fuzz_exit.h"
#include "filter.h"
#include "options.h"
#include "output.h"

static std::string input_line_text(const std::string& raw)
{
    std::string line;
    for (char c : raw)
        if (c != '\r')
            line += c;
    return line.substr(0, strlen(line.c_str())); // a NUL ends the text
}

static void check_output(const uint8_t* data, size_t size, const std::string& out)
{
    std::string input((const char*)data, size);
    size_t in_pos = 0, out_pos = 0;
    while (out_pos < out.size()) {
        size_t end = out.find("\r\n", out_pos);
        if (end == std::string::npos)
            abort();
        std::string kept = out.substr(out_pos, end - out_pos);
        out_pos = end + 2;
        if (kept.empty() || kept[0] != ':')
            abort();
        // Find the next input line with that text.
        for (;;) {
            if (in_pos > input.size())
                abort();
            size_t line_end = input.find('\n', in_pos);
            if (line_end == std::string::npos)
                line_end = input.size();
            std::string line = input_line_text(input.substr(in_pos, line_end - in_pos));
            in_pos = line_end + 1;
            if (line == kept)
                break;
        }
    }
}

// The filter's two files, in the working folder (the build tree), removed
// when the run ends.
static std::string in_path = "fuzz_filter_in." + std::to_string(getpid());
static std::string out_path = "fuzz_filter_out." + std::to_string(getpid());

static void remove_files()
{
    remove(in_path.c_str());
    remove(out_path.c_str());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FILE* null_out = fopen("/dev/null", "wb");
    static int registered = atexit(remove_files);
    (void)registered;
    FILE* f = fopen(in_path.c_str(), "wb");
    fwrite(data, 1, size, f);
    fclose(f);
    InputPath = in_path.c_str();
    OutputPath = out_path.c_str();
    out_set_stream(null_out);
    if (setjmp(FuzzExit) == 0) {
        FuzzExitArmed = true;
        filter_start_records();
        FuzzExitArmed = false;
    } else
        abort(); // the filter has no fatal path on a readable input
    std::string out;
    f = fopen(out_path.c_str(), "rb");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    check_output(data, size, out);
    return 0;
}
