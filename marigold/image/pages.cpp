// An input's data held in memory while its records come far out of address
// order: pages of 512 bytes with a bitmap of the bytes present, so that a
// byte given twice is seen as it comes. Once the input is read, the table
// is sorted by address and the pages become runs, read back from memory.
#include "image/pages.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstring>

enum { BLOCK_SHIFT = 10, PAGES_PER_BLOCK = 1 << BLOCK_SHIFT, FIRST_TABLE_BITS = 10, PAGES_AHEAD = 2 };

static Page* page_at(PageStore* s, uint32_t index)
{
    index--;
    return &s->blocks[index >> BLOCK_SHIFT][index & (PAGES_PER_BLOCK - 1)];
}

static const Page* page_read(const PageStore* s, uint32_t index)
{
    index--;
    return &s->blocks[index >> BLOCK_SHIFT][index & (PAGES_PER_BLOCK - 1)];
}

// The slot where the search for number starts.
static size_t home_slot(const PageStore* s, uint32_t number)
{
    return (uint32_t)(number * 2654435761u) >> (32 - s->table_bits);
}

// Where number is, or the free slot where it would go.
static size_t slot_for(const PageStore* s, uint32_t number)
{
    size_t mask = s->table.size() - 1;
    size_t i = home_slot(s, number);
    while (s->table[i].index && s->table[i].number != number)
        i = (i + 1) & mask;
    return i;
}

static void grow_table(PageStore* s)
{
    std::vector<PageSlot> old;
    old.swap(s->table);
    s->table_bits = s->table_bits ? s->table_bits + 1 : FIRST_TABLE_BITS;
    s->table.assign((size_t)1 << s->table_bits, PageSlot {});
    for (const PageSlot& slot : old)
        if (slot.index) s->table[slot_for(s, slot.number)] = slot;
}

// The page of that number, allocated zeroed when it is new.
static Page* page_for(PageStore* s, uint32_t number)
{
    if (s->last.index && s->last.number == number) return page_at(s, s->last.index);
    if ((uint64_t)(s->count + 1) * 4 > (uint64_t)s->table.size() * 3) grow_table(s);
    size_t i = slot_for(s, number);
    if (!s->table[i].index) {
        if (s->count % PAGES_PER_BLOCK == 0) {
            s->blocks.emplace_back();
            s->blocks.back().reserve(PAGES_PER_BLOCK);
            memory_at_once(s->blocks.back().data(), PAGES_PER_BLOCK * sizeof(Page));
        }
        s->blocks.back().push_back(Page {});
        s->table[i] = PageSlot { number, ++s->count };
    }
    s->last = s->table[i];
    return page_at(s, s->last.index);
}

// Marks n bytes from at as present; true when one of them was already.
static bool mark_present(Page* page, uint32_t at, uint32_t n)
{
    uint32_t bit = at & 63;
    if (bit + n < 64) { // the common case: a record within one word
        uint64_t mask = (((uint64_t)1 << n) - 1) << bit;
        uint64_t& word = page->present[at >> 6];
        bool seen = (word & mask) != 0;
        word |= mask;
        return seen;
    }
    bool seen = false;
    for (uint32_t i = at, end = at + n; i < end;) {
        bit = i & 63;
        uint32_t k = std::min(64 - bit, end - i);
        uint64_t mask = (k == 64 ? ~(uint64_t)0 : ((uint64_t)1 << k) - 1) << bit;
        seen = seen || (page->present[i >> 6] & mask);
        page->present[i >> 6] |= mask;
        i += k;
    }
    return seen;
}

// The bytes of a write go into its page, in pieces of 16 bytes: a copy of
// a size only known at run time would start slowly for so few bytes.
static void write_bytes(Page* page, uint32_t at, const unsigned char* data, uint32_t n)
{
    unsigned char* to = page->bytes + at;
    for (; n >= 16; n -= 16, to += 16, data += 16)
        memcpy(to, data, 16);
    for (; n; n--)
        *to++ = *data++;
}

// The held writes: every page they touch is found (or made) and asked for
// first, then the bytes are written, so that the misses overlap.
static void write_held(PageStore* s)
{
    Page* pages[2 * PAGES_HELD]; // a write spans at most two pages
    size_t count = s->held_count, k = 0;
    for (size_t i = 0; i < count; i++) {
        uint32_t address = s->held[2 * i], end = address + s->held[2 * i + 1] - 1;
        for (uint32_t number = address >> PAGE_SHIFT;; number++) {
            Page* page = pages[k++] = page_for(s, number);
            uint32_t at = number == address >> PAGE_SHIFT ? address & (PAGE_SIZE - 1) : 0;
            __builtin_prefetch(&page->present[at >> 6], 1);
            __builtin_prefetch(&page->bytes[at], 1);
            if (number == end >> PAGE_SHIFT) break;
        }
    }
    const unsigned char* data = s->held_data;
    for (size_t i = 0, p = 0; i < count; i++) {
        uint32_t address = s->held[2 * i], n = s->held[2 * i + 1];
        while (n) {
            uint32_t at = address & (PAGE_SIZE - 1);
            uint32_t take = std::min<uint32_t>(n, PAGE_SIZE - at);
            if (mark_present(pages[p], at, take)) s->overlap = true;
            write_bytes(pages[p++], at, data, take);
            address += take; // wraps to 0 only once n is done
            data += take;
            n -= take;
        }
    }
    s->held_count = s->held_bytes = 0;
}

void pages_put(PageStore* s, uint32_t address, const unsigned char* data, uint32_t n)
{
    // A write within the page found last (records in descending order) goes
    // there at once; a second write in a row to one page finds it.
    uint32_t at = address & (PAGE_SIZE - 1);
    if (s->held_count && s->held[2 * s->held_count - 2] >> PAGE_SHIFT == address >> PAGE_SHIFT)
        write_held(s);
    if (s->last.index && s->last.number == address >> PAGE_SHIFT && at + n <= PAGE_SIZE) {
        Page* page = page_at(s, s->last.index);
        if (mark_present(page, at, n)) s->overlap = true;
        write_bytes(page, at, data, n);
        return;
    }
    // Its slot is asked for now, to be there when the held writes are done.
    if (s->table_bits) __builtin_prefetch(&s->table[home_slot(s, address >> PAGE_SHIFT)]);
    s->held[2 * s->held_count] = address;
    s->held[2 * s->held_count + 1] = n;
    s->held_count++;
    memcpy(s->held_data + s->held_bytes, data, n);
    s->held_bytes += n;
    if (s->held_count == PAGES_HELD) write_held(s);
}

// The first bit from `from` on that is set (or clear), or PAGE_SIZE.
static uint32_t next_bit(const Page* page, uint32_t from, bool set)
{
    for (uint32_t w = from >> 6; w < PAGE_WORDS; w++) {
        uint64_t bits = set ? page->present[w] : ~page->present[w];
        if (w == from >> 6) bits &= ~(uint64_t)0 << (from & 63);
        if (bits) return w * 64 + (uint32_t)__builtin_ctzll(bits);
    }
    return PAGE_SIZE;
}

static void add_stretch(std::vector<Run>* runs, size_t first_new, uint32_t input, uint64_t address,
    uint32_t n)
{
    if (runs->size() > first_new) {
        Run& last = runs->back();
        if (run_end(last) == address && last.n <= UINT32_MAX - n) {
            last.n += n;
            return;
        }
    }
    runs->push_back(Run { 0, (uint32_t)address, n, input, 0, false, true });
}

void pages_to_runs(PageStore* s, uint32_t input, std::vector<Run>* runs)
{
    write_held(s);
    std::vector<PageSlot>& table = s->table;
    size_t used = 0;
    for (const PageSlot& slot : table)
        if (slot.index) table[used++] = slot;
    table.resize(used);
    table.shrink_to_fit(); // the free slots' memory goes back before the output is written
    std::sort(table.begin(), table.end(),
        [](const PageSlot& a, const PageSlot& b) { return a.number < b.number; });
    s->sorted = true;
    size_t first_new = runs->size();
    for (const PageSlot& slot : table) {
        const Page* page = page_at(s, slot.index);
        uint64_t base = (uint64_t)slot.number << PAGE_SHIFT;
        for (uint32_t i = next_bit(page, 0, true); i < PAGE_SIZE;) {
            uint32_t end = next_bit(page, i, false);
            add_stretch(runs, first_new, input, base + i, end - i);
            i = next_bit(page, end, true);
        }
    }
}

const Page* pages_find(const PageStore* s, uint32_t address, size_t* hint)
{
    const std::vector<PageSlot>& table = s->table;
    uint32_t number = address >> PAGE_SHIFT;
    size_t i = *hint;
    if (i >= table.size() || table[i].number != number) i++;
    if (i >= table.size() || table[i].number != number)
        i = (size_t)(std::lower_bound(table.begin(), table.end(), number,
                         [](const PageSlot& slot, uint32_t n) { return slot.number < n; })
            - table.begin());
    *hint = i;
    // Pages are read in address order but lie in memory in the order they
    // were written: the one after next is asked for now.
    if (i + PAGES_AHEAD < table.size()) {
        const Page* ahead = page_read(s, table[i + PAGES_AHEAD].index);
        for (uint32_t at = 0; at < PAGE_SIZE; at += 64)
            __builtin_prefetch(ahead->bytes + at);
    }
    return page_read(s, table[i].index);
}

void pages_clear(PageStore* s)
{
    *s = PageStore {};
}
