// Arbitrary bytes through the -i reading. The first byte chooses a block
// size: read in blocks of that size, the problems and summary must equal
// those of one whole read, and the range set must stay sorted, apart and no
// larger than the data records that made it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "info.h"
#include "options.h"
#include "output.h"
#include "records/parser.h"
#include "records/ranges.h"

static std::string run_info(const char* text, size_t size, size_t block)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    out_set_stream(out);
    info_reset();
    for (size_t at = 0; at < size; at += block)
        info_scan(text + at, size - at < block ? size - at : block);
    info_end_line();
    info_summary();
    out_set_stream(nullptr);
    fclose(out);
    std::string result(buf, len);
    free(buf);
    return result;
}

static void check_ranges()
{
    uint64_t previous_end = 0;
    bool first = true;
    for (const auto& range : Ranges) {
        if (range.second <= range.first || (!first && range.first <= previous_end)) abort();
        previous_end = range.second;
        first = false;
    }
    // A data record adds at most two pieces (one where its addresses wrap).
    if (Ranges.size() > 2 * Info.data_records) abort();
}

static uint64_t problem_lines(const std::string& out)
{
    uint64_t n = 0;
    for (size_t at = 0; (at = out.find("\nf:", at)) != std::string::npos; at++)
        n++;
    return n + (out.compare(0, 2, "f:") == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    InputPath = "f";
    const char* text = (const char*)data + 1;
    size_t n = size - 1;
    std::string whole = run_info(text, n, n ? n : 1);
    check_ranges();
    if (problem_lines(whole) != Info.problems) abort();
    std::string pieces = run_info(text, n, data[0] + 1);
    if (pieces != whole) abort();
    return 0;
}
