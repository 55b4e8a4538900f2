// The address ranges that a record file fills, kept sorted and merged where
// they touch, so memory follows the number of ranges, not the address space.
#include "records/ranges.h"

std::map<uint32_t, uint64_t> Ranges;
Span Overlaps[MAX_OVERLAPS];
int OverlapCount;

// The range last grown: records mostly follow on from the one before, which
// then costs no search and no allocation.
static std::map<uint32_t, uint64_t>::iterator LastRange = Ranges.end();

void ranges_clear()
{
    Ranges.clear();
    LastRange = Ranges.end();
    OverlapCount = 0;
}

static void note_overlap(uint64_t first, uint64_t end)
{
    if (OverlapCount < MAX_OVERLAPS)
        Overlaps[OverlapCount++] = Span { (uint32_t)first, (uint32_t)(end - 1) };
}

// Adds [start, end) to the range that begins at or before start and reaches
// it; the caller has made sure there is one.
static void grow_into(std::map<uint32_t, uint64_t>::iterator range, uint64_t start, uint64_t end)
{
    if (range->second > start) note_overlap(start, end < range->second ? end : range->second);
    auto next = std::next(range);
    // Ranges that the new bytes reach or touch are swallowed; the bytes they
    // already held are written a second time.
    while (next != Ranges.end() && next->first <= end) {
        if (next->first < end) note_overlap(next->first, end < next->second ? end : next->second);
        if (next->second > end) end = next->second;
        next = Ranges.erase(next);
    }
    if (end > range->second) range->second = end;
    LastRange = range;
}

// Records the n bytes from start (start + n at most 2^32). The bytes that
// were already there are listed in Overlaps, in address order; OverlapCount
// says how many spans (never more than one per 2 bytes of a record).
void ranges_add(uint32_t start, uint32_t n)
{
    OverlapCount = 0;
    if (n == 0) return;
    uint64_t end = (uint64_t)start + n;
    bool follows_last = LastRange != Ranges.end() && LastRange->second == start;
    if (follows_last) {
        auto next = std::next(LastRange);
        if (next == Ranges.end() || next->first > end) {
            LastRange->second = end;
            return;
        }
    }
    auto after = Ranges.upper_bound(start);
    if (after != Ranges.begin()) {
        auto before = std::prev(after);
        if (before->second >= start) {
            grow_into(before, start, end);
            return;
        }
    }
    grow_into(Ranges.emplace_hint(after, start, start), start, end);
}

uint64_t ranges_bytes()
{
    uint64_t total = 0;
    for (const auto& range : Ranges)
        total += range.second - range.first;
    return total;
}
