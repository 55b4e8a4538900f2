// The -d mode: do two files describe the same image, whatever their kinds?
// Both are read as -x reads its inputs and walked side by side in address
// order; the ranges where they differ are printed, then the counts. B is
// checked first; A's data are compared as its own check reads them while
// they come in address order, and else read again.
#include "compare.h"
#include "image/first_pass.h"
#include "image/image.h"
#include "image/runs.h"
#include "options.h"
#include "output.h"
#include "records/lines.h"
#include "records/parser.h"

#include <algorithm>
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
// order, else a cursor. Each pass reads its file with its own record
// parser, and hands over its data in blocks.
struct Side {
    Cursor* cursor;
    FirstPass* pass;
    uint64_t reach; // of the pass's data so far
    bool out_of_order;
    Piece piece; // the data the walk is at
    bool have;
    Piece held; // read, not yet in a block
    bool holding;
    unsigned char block[1 << 16];
    const ImageRuns* image; // its -R and -F
    Piece pending; // data cropped, waiting while the fill before them goes out
    bool pending_have;
    uint64_t reached; // where the data handed out so far end; NOT_YET before
};

enum : uint64_t { NOT_YET = UINT64_MAX };
static unsigned char FillBlock[1 << 16];

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
    return block->n > 0;
}

static bool next_data(Side* side)
{
    Piece* p = &side->piece;
    if (side->pass) return next_block(side);
    while (cursor_next(side->cursor, p))
        if (p->n) return true;
    return false;
}

// The next data inside -R's range, into pending. Data outside it are read
// all the same, so that a file is checked to its end.
static bool next_cropped(Side* side)
{
    const ImageRuns* image = side->image;
    while (next_data(side)) {
        Piece p = side->piece;
        if (image->crop) {
            uint64_t first = std::max<uint64_t>(p.address, image->first);
            uint64_t end = std::min<uint64_t>(p.address + p.n, image->last + 1);
            if (first >= end) continue;
            p.data += first - p.address;
            p.n = (uint32_t)(end - first);
            p.address = first;
        }
        side->pending = p;
        return true;
    }
    return false;
}

// The side's image as -x would write it: cropped, and with -F its gaps (and
// with -R the whole range) filled.
static bool next_piece(Side* side)
{
    if (side->have && side->piece.n) return true;
    const ImageRuns* image = side->image;
    if (!side->pending_have) side->pending_have = next_cropped(side);
    uint64_t until = side->pending_have ? side->pending.address
        : image->fill && image->crop ? image->last + 1
                                     : side->reached;
    if (image->fill && side->reached != NOT_YET && side->reached < until) {
        uint64_t n = std::min<uint64_t>(until - side->reached, sizeof FillBlock);
        side->piece = Piece { side->reached, FillBlock, (uint32_t)n, false, 0, 0, 0 };
        side->reached += n;
        return side->have = true;
    }
    if (!side->pending_have) return side->have = false;
    side->piece = side->pending;
    side->pending_have = false;
    side->reached = side->piece.address + side->piece.n;
    return side->have = true;
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

// starts: the two start addresses when they differ, else null.
static void print_ranges(const char* a_name, const char* b_name, const uint32_t* starts)
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
    if (starts)
        out_printf("start: %08x in %s, %08x in %s\n", starts[0], a_name, starts[1], b_name);
    out_printf("differ: %llu bytes, only in %s: %llu bytes, only in %s: %llu bytes\n",
        (unsigned long long)Counts[DIFFER], a_name, (unsigned long long)Counts[ONLY_A], b_name,
        (unsigned long long)Counts[ONLY_B]);
}

// Exit code 0: the same image; 1: they differ; 2: a file can't be read or
// is not sound.
static Side Sides[2];

static void begin_side(Side* side, const ImageRuns* image)
{
    side->image = image;
    side->reached = image->crop && image->fill ? image->first : NOT_YET;
}

// A file that can't be opened is reported before the passes, which may
// keep each other's messages back.
static void start_pass(Side* side, FirstPass* pass, ImageRuns* image, const char* arg)
{
    image->inputs.push_back(Input {});
    parse_input(arg, &image->inputs[0]);
    fclose(open_path(image->inputs[0].path.c_str()));
    *side = Side {};
    side->pass = pass;
    begin_side(side, image);
    first_pass_start(pass, image, true);
}

static void start_cursor(Side* side, Cursor* cursor, const ImageRuns* image)
{
    *side = Side {};
    side->cursor = cursor;
    begin_side(side, image);
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
    for (ImageRuns& image : images)
        if (!parse_fill_and_crop(&image)) return 2;
    memset(FillBlock, images[0].fill_byte, sizeof FillBlock);
    for (int i = 0; i < 2; i++)
        start_pass(&Sides[i], &passes[i], &images[i], Paths[i]);
    walk(&Sides[0], &Sides[1]);
    bool sound = true;
    for (int i = 0; i < 2; i++)
        sound = settle_image(&images[i], passes[i].sound) && sound;
    if (!sound) return 2;
    if (Sides[0].out_of_order || Sides[1].out_of_order) {
        Cursor cursors[2];
        for (int i = 0; i < 2; i++)
            start_cursor(&Sides[i], &cursors[i], &images[i]);
        walk(&Sides[0], &Sides[1]);
        for (Cursor& cursor : cursors)
            cursor_end(&cursor);
    }
    // As srec_cmp does, start addresses count only when both files give one.
    uint32_t starts[2];
    for (int i = 0; i < 2; i++)
        starts[i] = linear_start(images[i].start_kind, images[i].start);
    bool starts_differ = images[0].start_kind != START_NONE && images[1].start_kind != START_NONE
        && starts[0] != starts[1];
    if (RangesFound == 0 && !starts_differ) return 0;
    const char* names[2] = { images[0].inputs[0].path.c_str(), images[1].inputs[0].path.c_str() };
    print_ranges(names[0], names[1], starts_differ ? starts : nullptr);
    return 1;
}
