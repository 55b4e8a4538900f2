// The sorted, merged address ranges that the record parser notes for -i,
// and the stretches where a record overlaps them.
#ifndef MARIGOLD_RECORDS_RANGES_H
#define MARIGOLD_RECORDS_RANGES_H

#include <cstdint>
#include <map>

struct Span {
    uint32_t first, last;
};
enum { MAX_OVERLAPS = 128 }; // a record holds at most 255 bytes
extern std::map<uint32_t, uint64_t> Ranges; // start -> end (exclusive)
extern Span Overlaps[MAX_OVERLAPS];
extern int OverlapCount;
void ranges_clear();
void ranges_add(uint32_t start, uint32_t n);
uint64_t ranges_bytes();

#endif
