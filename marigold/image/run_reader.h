// A run's bytes read again from its file for a cursor, and the reading of
// record lines into the parser that both passes share.
#ifndef MARIGOLD_IMAGE_RUN_READER_H
#define MARIGOLD_IMAGE_RUN_READER_H

#include "image/image.h"
#include "records/parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

enum { READ_BLOCK = 1 << 16 };
struct RunReader {
    FILE* file;
    const char* path; // named when reading it fails
    RecordParser parser; // of its record lines
    uint32_t input;
    size_t run;
    std::vector<char> buf;
    uint64_t buf_at;
    size_t buf_len, buf_pos;
    uint32_t base;
    bool segmented;
    uint64_t next, end; // the run's next file address and where it ends
    unsigned char data[256];
    // a window: the bytes of many runs, read in one pass over the file
    std::vector<unsigned char> window;
    size_t window_first, window_end; // the runs it holds
    std::vector<uint64_t> window_at; // where each of them starts in it
    bool window_dense; // it maps the addresses from window_low straight
    uint64_t window_low;
    size_t window_guess; // the run last found
    size_t page_hint; // the page of a run in memory read last
};
// from: the first image address wanted, which a raw image is read from
void reader_start(RunReader* reader, const ImageRuns* image, size_t run, uint64_t from);
bool reader_piece(RunReader* reader, const ImageRuns* image, Piece* piece);
void reader_close(RunReader* reader);
bool reader_line(RunReader* reader); // the next line to the record parser; false at the end
[[noreturn]] void can_not_read(const char* path);

#endif
