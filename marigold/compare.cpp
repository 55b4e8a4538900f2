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

// A side of the walk: a file's first pass while its data come in address
// order, else a cursor. The two passes share the record reader, so each
// keeps the reader's state (and the path its messages name) while the other
// reads, and hands over its data in blocks, to swap seldom.
struct Side {
    Cursor* cursor;
    FirstPass* pass;
    InfoState state;
    const char* path;
    uint64_t reach; // of the pass's data so far
    bool out_of_order;
    Piece piece; // the data the walk is at
    bool have;
    Piece held; // read, not yet in a block
    bool holding;
    unsigned char block[1 << 16];
};

static void swap_reader(Side* side)
{
    std::swap(Info, side->state);
    std::swap(InputPath, side->path);
}

// The pass's next data in address order; once they are out of order the
// pass is read on for its check alone.
static bool pull(Side* side, Piece* p)
{
    while (first_pass_next(side->pass, p)) {
        if (side->out_of_order) continue;
        if (p->address < side->reach || p->address + p->n > ((uint64_t)1 << 32)) {
            side->out_of_order = true;
            continue;
        }
        side->reach = p->address + p->n;
        return true;
    }
    return false;
}

// A block of data that follow on from each other. A piece stays valid until
// the pass's next call, whatever the other side reads.
static bool next_block(Side* side)
{
    swap_reader(side);
    Piece* block = &side->piece;
    *block = Piece {};
    for (;;) {
        Piece p;
        if (side->holding)
            p = side->held;
        else if (!pull(side, &p))
            break;
        side->holding = false;
        bool follows = block->n && p.address == block->address + block->n;
        if (block->n && (!follows || block->n + p.n > sizeof side->block)) {
            side->held = p;
            side->holding = true;
            break;
        }
        if (!block->n && p.n > sizeof side->block / 2) {
            *block = p; // large enough on its own
            break;
        }
        if (!block->n) *block = Piece { p.address, side->block, 0, false, 0, 0, 0 };
        memcpy(side->block + block->n, p.data, p.n);
        block->n += p.n;
    }
    swap_reader(side);
    return block->n > 0;
}

static bool next_piece(Side* side)
{
    if (side->have && side->piece.n) return true;
    Piece* p = &side->piece;
    if (side->pass) return side->have = next_block(side);
    while (cursor_next(side->cursor, p))
        if (p->n) return side->have = true;
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
static Side Sides[2];

// A file that can't be opened is reported before the passes, which may
// keep each other's messages back.
static void start_pass(Side* side, FirstPass* pass, ImageRuns* image, const char* arg)
{
    image->inputs.push_back(Input {});
    parse_input(arg, &image->inputs[0]);
    const char* given = InputPath;
    InputPath = image->inputs[0].path.c_str();
    fclose(open_input());
    InputPath = given;
    *side = Side {};
    side->pass = pass;
    side->path = InputPath;
    swap_reader(side);
    first_pass_start(pass, image, true);
    swap_reader(side);
}

static void start_cursor(Side* side, Cursor* cursor, const ImageRuns* image)
{
    *side = Side {};
    side->cursor = cursor;
    *cursor = Cursor {};
    cursor_start(cursor, image);
}

int compare_files()
{
    FailCode = 2;
    if (PathCount < 2) {
        out_error("-d compares two files: marigold -d A B\n");
        return 2;
    }
    ImageRuns images[2] {};
    FirstPass passes[2] {};
    for (int i = 0; i < 2; i++)
        start_pass(&Sides[i], &passes[i], &images[i], Paths[i]);
    walk(&Sides[0], &Sides[1]);
    bool sound = true;
    for (int i = 0; i < 2; i++) {
        swap_reader(&Sides[i]);
        sound = settle_image(&images[i], passes[i].sound) && sound;
        swap_reader(&Sides[i]);
    }
    if (!sound) return 2;
    if (Sides[0].out_of_order || Sides[1].out_of_order) {
        Cursor cursors[2];
        for (int i = 0; i < 2; i++)
            start_cursor(&Sides[i], &cursors[i], &images[i]);
        walk(&Sides[0], &Sides[1]);
        for (Cursor& cursor : cursors)
            cursor_end(&cursor);
    }
    if (RangesFound == 0) return 0;
    print_ranges(images[0].inputs[0].path.c_str(), images[1].inputs[0].path.c_str());
    return 1;
}
