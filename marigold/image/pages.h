// An input's data held in memory, in pages of 512 bytes allocated on first
// write, each with a bitmap of the bytes it holds, found by page number
// through an open-addressed table. Writes are held back in small batches,
// so that the pages they go to load side by side.
#ifndef MARIGOLD_IMAGE_PAGES_H
#define MARIGOLD_IMAGE_PAGES_H

#include "image/run.h"

#include <cstddef>
#include <cstdint>
#include <vector>

enum { PAGE_SHIFT = 9, PAGE_SIZE = 1 << PAGE_SHIFT, PAGE_WORDS = PAGE_SIZE / 64, PAGES_HELD = 32 };
struct Page {
    uint64_t present[PAGE_WORDS];
    unsigned char bytes[PAGE_SIZE];
};
struct PageSlot {
    uint32_t number; // the page's address >> PAGE_SHIFT
    uint32_t index; // in the blocks, plus one; 0: a free slot
};
struct PageStore {
    std::vector<std::vector<Page>> blocks; // never moved once allocated
    std::vector<PageSlot> table; // a power of two long; sorted by number once done
    uint32_t count;
    int table_bits;
    PageSlot last; // the slot found last
    // Writes held back: the address and count of each, and their bytes one
    // after the other.
    uint32_t held[2 * PAGES_HELD];
    uint32_t held_count, held_bytes;
    unsigned char held_data[PAGES_HELD * 255];
    bool overlap; // a byte was given twice
    bool sorted; // the table holds the pages in address order, without gaps
};

// The pages' addresses are the input's own, before its shift.
void pages_put(PageStore* store, uint32_t address, const unsigned char* data, uint32_t n);
// Appends the pages' data as runs, in address order, and sorts the table.
void pages_to_runs(PageStore* store, uint32_t input, std::vector<Run>* runs);
// The page that holds address, once sorted, looked for from slot *hint on.
const Page* pages_find(const PageStore* store, uint32_t address, size_t* hint);
void pages_clear(PageStore* store);

#endif
