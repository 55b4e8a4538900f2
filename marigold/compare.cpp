// The -d mode: do two files describe the same image, whatever their kinds?
// Both are read as -x reads its inputs and walked side by side in address
// order; the ranges where they differ are printed, then the counts. B is
// checked first; A's data are compared as its own check reads them while
// they come in address order, and else read again.
#include "marigold.h"

#include <cstring>

enum { RANGES_SHOWN = 64 };
enum Difference { DIFFER, ONLY_A, ONLY_B };

struct Stretch {
    Difference kind;
    uint64_t first, end;
};

// What the walk found: the first ranges, kept until both files are known
// to be sound, and the counts.
static Stretch Shown[RANGES_SHOWN];
static Stretch Last; // the range found last, which may still grow
static uint64_t RangesFound;
static uint64_t Counts[3];

static void note(Difference kind, uint64_t address, uint64_t n)
{
    Counts[kind] += n;
    if (RangesFound && Last.kind == kind && Last.end == address) {
        Last.end += n;
        if (RangesFound <= RANGES_SHOWN) Shown[RangesFound - 1] = Last;
        return;
    }
    Last = Stretch { kind, address, address + n };
    if (RangesFound < RANGES_SHOWN) Shown[RangesFound] = Last;
    RangesFound++;
}

// The stretches of n bytes at address where a and b differ.
static void compare_bytes(
    uint64_t address, const unsigned char* a, const unsigned char* b, uint32_t n)
{
    if (memcmp(a, b, n) == 0) return;
    for (uint32_t i = 0; i < n;) {
        uint32_t k = i;
        while (k < n && a[k] != b[k])
            k++;
        if (k > i) note(DIFFER, address + i, k - i);
        while (k < n && a[k] == b[k])
            k++;
        i = k;
    }
}

// A side of the walk: A's first pass while its data come in order, else a
// cursor.
struct Side {
    Cursor* cursor;
    FirstPass* pass;
    uint64_t reach; // of the first pass's data so far
    bool out_of_order;
    Piece piece;
    bool have;
};

static bool next_piece(Side* side)
{
    if (side->have && side->piece.n) return true;
    Piece* p = &side->piece;
    if (!side->pass) {
        while (cursor_next(side->cursor, p))
            if (p->n) return side->have = true;
        return side->have = false;
    }
    while (first_pass_next(side->pass, p)) {
        if (side->out_of_order) continue; // read on for the check alone
        if (p->address < side->reach || p->address + p->n > ((uint64_t)1 << 32)) {
            side->out_of_order = true;
            continue;
        }
        side->reach = p->address + p->n;
        return side->have = true;
    }
    return side->have = false;
}

static void consume(Piece* piece, uint64_t n)
{
    piece->address += n;
    piece->data += n;
    piece->n -= (uint32_t)n;
}

static void walk(Side* a, Side* b)
{
    RangesFound = 0;
    memset(Counts, 0, sizeof Counts);
    next_piece(a);
    next_piece(b);
    while (a->have || b->have) {
        Piece& pa = a->piece;
        Piece& pb = b->piece;
        if (a->have && (!b->have || pa.address < pb.address)) {
            uint64_t n = b->have ? std::min<uint64_t>(pa.n, pb.address - pa.address) : pa.n;
            note(ONLY_A, pa.address, n);
            consume(&pa, n);
        } else if (b->have && (!a->have || pb.address < pa.address)) {
            uint64_t n = a->have ? std::min<uint64_t>(pb.n, pa.address - pb.address) : pb.n;
            note(ONLY_B, pb.address, n);
            consume(&pb, n);
        } else {
            uint32_t n = pa.n < pb.n ? pa.n : pb.n;
            compare_bytes(pa.address, pa.data, pb.data, n);
            consume(&pa, n);
            consume(&pb, n);
        }
        next_piece(a);
        next_piece(b);
    }
}

static void print_ranges(const char* a_name, const char* b_name)
{
    for (uint64_t i = 0; i < RangesFound && i < RANGES_SHOWN; i++) {
        out_hex((uint32_t)Shown[i].first, 8);
        out_str("-");
        out_hex((uint32_t)(Shown[i].end - 1), 8);
        out_str(Shown[i].kind == DIFFER ? " differ" : " only in ");
        if (Shown[i].kind != DIFFER) out_str(Shown[i].kind == ONLY_A ? a_name : b_name);
        out_newline();
    }
    if (RangesFound > RANGES_SHOWN)
        out_printf("(%llu more ranges)\n", (unsigned long long)(RangesFound - RANGES_SHOWN));
    out_printf("differ: %llu bytes, only in %s: %llu bytes, only in %s: %llu bytes\n",
        (unsigned long long)Counts[DIFFER], a_name, (unsigned long long)Counts[ONLY_A], b_name,
        (unsigned long long)Counts[ONLY_B]);
}

// Exit code 0: the same image; 1: they differ; 2: a file can't be read or
// is not sound.
int compare_files()
{
    FailCode = 2;
    if (PathCount < 2) {
        out_error("-d compares two files: marigold -d A B\n");
        return 2;
    }
    ImageRuns a {}, b {};
    if (!build_image(&b, Paths + 1, 1)) return 2;
    a.inputs.push_back(Input {});
    parse_input(Paths[0], &a.inputs[0]);
    FirstPass pass {};
    first_pass_start(&pass, &a, true);
    Cursor a_cursor {}, b_cursor {};
    cursor_start(&b_cursor, &b);
    Side a_side { nullptr, &pass, 0, false, {}, false },
        b_side { &b_cursor, nullptr, 0, false, {}, false };
    walk(&a_side, &b_side);
    cursor_end(&b_cursor);
    if (!settle_image(&a, pass.sound)) return 2;
    if (a_side.out_of_order) {
        cursor_start(&a_cursor, &a);
        cursor_start(&b_cursor, &b);
        a_side = Side { &a_cursor, nullptr, 0, false, {}, false };
        b_side = Side { &b_cursor, nullptr, 0, false, {}, false };
        walk(&a_side, &b_side);
        cursor_end(&a_cursor);
        cursor_end(&b_cursor);
    }
    if (RangesFound == 0) return 0;
    print_ranges(a.inputs[0].path.c_str(), b.inputs[0].path.c_str());
    return 1;
}
