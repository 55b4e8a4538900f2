// The files a fuzz target writes and reads back.
#ifndef FUZZ_FILES_H
#define FUZZ_FILES_H

#include <cstdio>
#include <string>

// The whole file, or "(none)" when it can't be opened.
inline std::string read_all(const std::string& path)
{
    std::string text;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return "(none)";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

#endif
