// The first pass over the inputs, and what tells a record file. It checks
// each input as -i checks it (its problems on standard error) and notes its
// runs, handing its data out on the way.
#ifndef MARIGOLD_IMAGE_FIRST_PASS_H
#define MARIGOLD_IMAGE_FIRST_PASS_H

#include "image/image.h"
#include "image/run_reader.h"
#include "records/lines.h"
#include "records/parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

bool holds_record_line(FILE* in); // any line of the file is a record line
struct FirstPass {
    ImageRuns* image;
    uint32_t input; // being read
    RunReader reader;
    size_t from; // its first run
    uint64_t next; // of a raw image: the offset of its next byte
    int count; // of the line's pieces, handed out
    LineData pieces[2]; // the line's data, kept
    int piece_count;
    uint64_t line_offset;
    uint32_t checksum_column;
    unsigned char data[RECORD_BYTES_SIZE];
    bool sound;
    bool data_wanted; // the data are handed out, not only noted
    std::vector<unsigned char> elf; // the ELF file being read, whole
    size_t elf_run; // its run being handed out, from next
};
void first_pass_start(FirstPass* pass, ImageRuns* image, bool data_wanted);
bool first_pass_next(FirstPass* pass, Piece* piece);
bool read_inputs(ImageRuns* image); // of inputs set up before; false after saying why

#endif
