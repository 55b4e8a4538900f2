// The image model's arguments (inputs, -F, -R), the runs settled after the
// first pass (shift, merge, crop, fill), and the cursor that hands the image
// out in address order.
#ifndef MARIGOLD_IMAGE_RUNS_H
#define MARIGOLD_IMAGE_RUNS_H

#include "image/image.h"
#include "image/run_reader.h"

#include <cstddef>
#include <cstdint>

bool parse_input(const char* arg, Input* input);
bool elf_input(const std::string& path); // named .elf, or starts with the ELF magic
bool parse_fill_and_crop(ImageRuns* image); // -F and -R
bool settle_image(ImageRuns* image, bool sound); // after the first pass
bool image_empty(const ImageRuns* image);
uint64_t image_low(const ImageRuns* image); // of the bytes the cursor hands out
uint64_t image_high(const ImageRuns* image);
struct Cursor {
    const ImageRuns* image;
    size_t run; // the run being read
    bool reading, done;
    uint64_t next, last; // the address due next, and the image's last
    RunReader reader;
    // With stored values: the data piece read but not all handed out, and
    // the address below which every stored byte is handed out.
    Piece held;
    bool holding;
    uint64_t stored_from;
    unsigned char stored_bytes[64];
};
void cursor_start(Cursor* cursor, const ImageRuns* image);
// Only the image's bytes from first to last, both included.
void cursor_start_range(Cursor* cursor, const ImageRuns* image, uint64_t first, uint64_t last);
bool cursor_next(Cursor* cursor, Piece* piece); // false at the end
void cursor_end(Cursor* cursor);

#endif
