// The image model's types. Each input (a record file, or a raw image named
// *.bin, or an ELF file's loadable segments) is read into runs: stretches of data that follow on from each
// other both in the file and in the address space. The runs of all inputs,
// shifted, merged, cropped and filled, are handed out in address order by a
// cursor that reads their bytes again from the files, so memory follows the
// number of runs, not the image. A record file whose data come far out of
// address order (many small runs) keeps them in pages in memory instead,
// which become runs of their own once the file is read.
#ifndef MARIGOLD_IMAGE_IMAGE_H
#define MARIGOLD_IMAGE_IMAGE_H

#include "image/pages.h"
#include "image/run.h"
#include "records/parser.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// An ELF file's runs are its segments' bytes, read from the file as a raw
// image's are.
enum InputKind { INPUT_RECORDS, INPUT_RAW, INPUT_ELF };

struct Input {
    std::string path; // the file's name, without a place or shift
    InputKind kind;
    int64_t shift; // added to every address; a raw image's place
    StartKind start_kind;
    uint32_t start;
    bool crlf; // the first line ends with CR LF
    uint64_t runs; // how many of the image's runs in the file are this input's
    uint64_t size; // of the file
    // The first pass: where its data reached, how many runs began below
    // that, and whether its data now go to pages (the last piece did).
    uint64_t reach;
    uint32_t behind;
    bool paged, last_paged;
    PageStore pages;
};
struct ImageRuns {
    std::vector<Input> inputs;
    std::vector<Run> runs; // in address order, without overlaps
    bool crop, fill;
    uint64_t first, last; // the crop range, both included
    unsigned char fill_byte;
    bool fill_large; // -F<BYTE>:large: a fill past 256 MiB is wanted
    StartKind start_kind;
    uint32_t start;
    bool lines_wanted; // pieces say where they stand in their lines
    // Values -K stored, a byte an address: they replace the data under them
    // or stand on their own in a gap, for the cursor and the image's bounds.
    std::map<uint32_t, unsigned char> stored;
};
// A stretch of the image. From a record line, line and columns say where
// its digits and the record's checksum stand; fill has no line.
struct Piece {
    uint64_t address;
    const unsigned char* data;
    uint32_t n;
    bool from_line;
    uint64_t line; // file offset of the line
    uint32_t column, checksum_column;
};

#endif
