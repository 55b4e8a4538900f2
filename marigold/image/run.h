// A run: a stretch of an input's data that follows on both in the file and
// in the address space, the unit the image model sorts, merges and reads.
#ifndef MARIGOLD_IMAGE_RUN_H
#define MARIGOLD_IMAGE_RUN_H

#include <cstdint>

struct Run {
    uint64_t offset; // records: the first line; raw: the first byte
    uint32_t address; // in the image: shifted
    uint32_t n;
    uint32_t input;
    uint32_t base; // the record reader's base at the run's first line
    bool segmented;
    bool in_memory; // its bytes are in the input's pages, not read again
};
inline uint64_t run_end(const Run& run)
{
    return (uint64_t)run.address + run.n;
}

#endif
