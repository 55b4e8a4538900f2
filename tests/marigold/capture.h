// Helpers for the marigold unit tests: run code with standard output
// going to a temporary file, and state reset between tests.
#ifndef MARIGOLD_TEST_CAPTURE_H
#define MARIGOLD_TEST_CAPTURE_H

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "dump.h"
#include "options.h"
#include "output.h"
#include "records/lines.h"

inline std::string read_stream(FILE* f)
{
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    return text;
}

template <typename Fn> std::string capture_output(Fn fn)
{
    FILE* tmp = tmpfile();
    out_set_stream(tmp);
    fn();
    out_set_stream(nullptr);
    rewind(tmp);
    std::string text = read_stream(tmp);
    fclose(tmp);
    return text;
}

// The same for standard error, where refusals go.
template <typename Fn> std::string capture_error(Fn fn)
{
    fflush(stderr);
    FILE* tmp = tmpfile();
    int saved = dup(2);
    dup2(fileno(tmp), 2);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    rewind(tmp);
    std::string text = read_stream(tmp);
    fclose(tmp);
    return text;
}

// Feeds lines to process_line as the dump does, from a clean start.
inline std::string dump_lines(const char* text, bool option_b = false)
{
    memset(&RecordBytes, 0, sizeof RecordBytes);
    memset(OptionTable, 0, sizeof OptionTable);
    UpperAddress = 0;
    if (option_b)
        OptionTable['b'] = "";
    return capture_output([&] {
        std::string all(text);
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            if (end == std::string::npos)
                end = all.size();
            process_line(all.substr(start, end - start).c_str());
            start = end + 1;
        }
    });
}

// ctest runs the tests of this binary in parallel, in one folder: each test
// gets files of its own.
inline std::string test_file_path(const char* name)
{
    return std::string("mg_test_") + testing::UnitTest::GetInstance()->current_test_info()->name()
        + "_" + name;
}

inline std::string write_temp_file(const char* name, const std::string& bytes)
{
    std::string path = test_file_path(name);
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
}

inline std::string read_file(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return "";
    std::string text = read_stream(f);
    fclose(f);
    return text;
}

#endif
