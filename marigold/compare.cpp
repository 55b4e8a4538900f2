// The -d mode: do two files describe the same image, whatever their kinds?
// Both are read as -x reads its inputs and walked side by side in address
// order; the ranges where they differ are printed, then the counts.
#include "marigold.h"

#include <cstring>

enum { RANGES_SHOWN = 64 };
enum Difference { DIFFER, ONLY_A, ONLY_B };

static const char* Names[2];
static uint64_t Counts[3];
static uint64_t RangesFound;
static bool Open; // a range is being gathered
static Difference OpenKind;
static uint64_t OpenFirst, OpenEnd;

static void print_open_range()
{
    if (!Open) return;
    Open = false;
    if (RangesFound++ >= RANGES_SHOWN) return;
    out_hex((uint32_t)OpenFirst, 8);
    out_str("-");
    out_hex((uint32_t)(OpenEnd - 1), 8);
    out_str(OpenKind == DIFFER ? " differ" : " only in ");
    if (OpenKind != DIFFER) out_str(Names[OpenKind == ONLY_A ? 0 : 1]);
    out_newline();
}

static void note(Difference kind, uint64_t address, uint64_t n)
{
    Counts[kind] += n;
    if (Open && OpenKind == kind && OpenEnd == address) {
        OpenEnd += n;
        return;
    }
    print_open_range();
    Open = true;
    OpenKind = kind;
    OpenFirst = address;
    OpenEnd = address + n;
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

static void consume(Piece* piece, uint64_t n)
{
    piece->address += n;
    piece->data += n;
    piece->n -= (uint32_t)n;
}

// The next piece of a cursor, skipping empty ones; false at the end.
static bool next_piece(Cursor* cursor, Piece* piece, bool have)
{
    if (have && piece->n) return true;
    while (cursor_next(cursor, piece))
        if (piece->n) return true;
    return false;
}

static void walk(Cursor* a_cursor, Cursor* b_cursor)
{
    Piece a {}, b {};
    bool have_a = next_piece(a_cursor, &a, false), have_b = next_piece(b_cursor, &b, false);
    while (have_a || have_b) {
        if (have_a && (!have_b || a.address < b.address)) {
            uint64_t n = have_b ? std::min<uint64_t>(a.n, b.address - a.address) : a.n;
            note(ONLY_A, a.address, n);
            consume(&a, n);
        } else if (have_b && (!have_a || b.address < a.address)) {
            uint64_t n = have_a ? std::min<uint64_t>(b.n, a.address - b.address) : b.n;
            note(ONLY_B, b.address, n);
            consume(&b, n);
        } else {
            uint32_t n = a.n < b.n ? a.n : b.n;
            compare_bytes(a.address, a.data, b.data, n);
            consume(&a, n);
            consume(&b, n);
        }
        have_a = next_piece(a_cursor, &a, have_a);
        have_b = next_piece(b_cursor, &b, have_b);
    }
    print_open_range();
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
    ImageRuns images[2] {};
    for (int i = 0; i < 2; i++) {
        if (!build_image(&images[i], Paths + i, 1)) return 2;
        Names[i] = images[i].inputs[0].path.c_str();
    }
    Cursor cursors[2] {};
    cursor_start(&cursors[0], &images[0]);
    cursor_start(&cursors[1], &images[1]);
    walk(&cursors[0], &cursors[1]);
    cursor_end(&cursors[0]);
    cursor_end(&cursors[1]);
    if (RangesFound == 0) return 0;
    if (RangesFound > RANGES_SHOWN)
        out_printf("(%llu more ranges)\n", (unsigned long long)(RangesFound - RANGES_SHOWN));
    out_printf("differ: %llu bytes, only in %s: %llu bytes, only in %s: %llu bytes\n",
        (unsigned long long)Counts[DIFFER], Names[0], (unsigned long long)Counts[ONLY_A], Names[1],
        (unsigned long long)Counts[ONLY_B]);
    return 1;
}
