// Reading a run's bytes again for a cursor: the records from the run's
// first line on, or, for a file of many small runs (records out of address
// order), the bytes of many runs at once in one pass over the file; a raw
// image's bytes straight from their place.
#include "image/run_reader.h"
#include "image/image.h"
#include "image/pages.h"
#include "output.h"
#include "platform/platform.h"
#include "records/parser.h"

#include <algorithm>
#include <cstring>

enum { WINDOW_MIN = 4 << 20 };

[[noreturn]] void can_not_read(const char* path)
{
    out_printf("Fatal: can't read file:%s\n", path);
    out_exit(FailCode);
}

static void reader_seek(RunReader* r, uint64_t offset, const char* path)
{
    if (offset >= r->buf_at && offset <= r->buf_at + r->buf_len) {
        r->buf_pos = (size_t)(offset - r->buf_at);
        return;
    }
    if (!seek_file(r->file, offset)) can_not_read(path);
    r->buf_at = offset;
    r->buf_len = r->buf_pos = 0;
}

// Hands the line at the read position to the record reader; false at the
// end of the file, where no line is left.
bool reader_line(RunReader* r)
{
    r->parser.line_offset = r->buf_at + r->buf_pos;
    size_t whole = parser_whole_line(&r->parser, r->buf.data() + r->buf_pos, r->buf_len - r->buf_pos);
    if (whole) {
        r->buf_pos += whole;
        return true;
    }
    bool any = false;
    for (;;) {
        if (r->buf_pos == r->buf_len) {
            r->buf_at += r->buf_len;
            r->buf_pos = 0;
            r->buf_len = fread(r->buf.data(), 1, r->buf.size(), r->file);
            if (r->buf_len == 0) {
                if (any) parser_end_line(&r->parser); // a last line without a line feed
                return any;
            }
        }
        char* p = r->buf.data() + r->buf_pos;
        char* lf = (char*)memchr(p, '\n', r->buf_len - r->buf_pos);
        size_t n = lf ? (size_t)(lf - p) : r->buf_len - r->buf_pos;
        parser_feed(&r->parser, p, n);
        any = true;
        r->buf_pos += n;
        if (lf) {
            r->buf_pos++;
            parser_end_line(&r->parser);
            return true;
        }
    }
}

static void reader_open(RunReader* r, const ImageRuns* image, uint32_t input)
{
    if (r->file && r->input == input) return;
    reader_close(r);
    const char* path = image->inputs[input].path.c_str();
    r->file = fopen(path, "rb");
    if (!r->file) can_not_read(path);
    r->path = path;
    parser_reset(&r->parser, path);
    r->input = input;
    r->buf.resize(READ_BLOCK);
    r->buf_at = r->buf_len = r->buf_pos = 0;
    r->window_first = r->window_end = 0;
    r->window.clear();
}

void reader_close(RunReader* r)
{
    if (!r->file) return;
    bool failed = ferror(r->file);
    fclose(r->file);
    r->file = nullptr;
    r->window.clear();
    if (failed) can_not_read(r->path);
}

// Many runs, each read from its first line with a read of a whole block,
// would read the file many times over: then one pass over the file takes
// the bytes of as many runs as a window holds. A run's note takes more than
// 16 bytes, so a window of 16 bytes a run keeps memory following the runs.
static uint64_t window_room(const Input& input)
{
    return std::max<uint64_t>(WINDOW_MIN, input.runs * 16);
}

static bool windowed(const ImageRuns* image, const Run& run)
{
    const Input& input = image->inputs[run.input];
    return !image->lines_wanted && input.kind == INPUT_RECORDS && input.runs * 16384 > input.size
        && run.n <= window_room(input);
}

// Where the bytes at image address a go in the window, or SIZE_MAX. A
// window whose runs lie close together maps addresses straight to bytes;
// else the run that holds them is looked for, from the one found last.
static size_t window_place(RunReader* r, const ImageRuns* image, uint64_t a)
{
    if (r->window_dense)
        return a >= r->window_low && a - r->window_low < r->window.size()
            ? (size_t)(a - r->window_low)
            : SIZE_MAX;
    auto holds = [&](size_t i) {
        return i >= r->window_first && i < r->window_end && !image->runs[i].in_memory
            && a >= image->runs[i].address && a < run_end(image->runs[i]);
    };
    size_t k = r->window_guess;
    if (!holds(k)) k++;
    if (!holds(k)) {
        auto first = image->runs.begin() + r->window_first,
             end = image->runs.begin() + r->window_end;
        auto it = std::upper_bound(
            first, end, a, [](uint64_t address, const Run& run) { return address < run.address; });
        if (it == first) return SIZE_MAX;
        k = (size_t)(it - image->runs.begin()) - 1;
        if (!holds(k)) return SIZE_MAX;
    }
    r->window_guess = k;
    return r->window_at[k - r->window_first] + (size_t)(a - image->runs[k].address);
}

// Fills the window with the runs from `first` on that are this input's and
// fit, in one pass over the file. No other run of the input lies between
// them, so every byte of the input in their span is theirs; those of its
// runs in memory among them take no room in a packed window.
static void load_window(RunReader* r, const ImageRuns* image, size_t first)
{
    const Input& input = image->inputs[r->input];
    const std::vector<Run>& runs = image->runs;
    uint64_t room = window_room(input), total = 0;
    size_t end = first;
    for (; end < runs.size() && runs[end].input == r->input; end++) {
        if (runs[end].in_memory) continue;
        if (total + runs[end].n > room) break;
        total += runs[end].n;
    }
    while (runs[end - 1].in_memory)
        end--;
    r->window_low = image->runs[first].address;
    uint64_t span = run_end(image->runs[end - 1]) - r->window_low;
    r->window_dense = span <= room;
    // A sparse window packs its runs, each at its own place.
    std::vector<uint64_t>& at = r->window_at;
    at.clear();
    for (size_t k = first, packed = 0; !r->window_dense && k < end; k++) {
        at.push_back(packed);
        packed += runs[k].in_memory ? 0 : runs[k].n;
    }
    r->window.resize(r->window_dense ? span : total);
    r->window_first = r->window_guess = first;
    r->window_end = end;
    reader_seek(r, 0, input.path.c_str());
    RecordParser* parser = &r->parser;
    parser->replay = true;
    parser->base = 0;
    parser->segmented = parser->ended = false;
    while (reader_line(r)) {
        for (int i = 0; i < parser->piece_count; i++) {
            const LineData& piece = parser->pieces[i];
            size_t at_k = window_place(r, image, piece.address + input.shift);
            if (at_k != SIZE_MAX) memcpy(r->window.data() + at_k, piece.data, piece.n);
        }
        parser->ended = false;
    }
}

void reader_start(RunReader* r, const ImageRuns* image, size_t run, uint64_t from)
{
    const Run& to_read = image->runs[run];
    const Input& input = image->inputs[to_read.input];
    r->run = run;
    r->next = (uint64_t)((int64_t)to_read.address - input.shift);
    r->end = r->next + to_read.n;
    if (to_read.in_memory) {
        r->next += from > to_read.address ? from - to_read.address : 0;
        return;
    }
    reader_open(r, image, to_read.input);
    if (input.kind != INPUT_RECORDS) { // a raw image or an ELF file: bytes at their offset
        uint64_t skip = from > to_read.address ? from - to_read.address : 0;
        r->next += skip;
        reader_seek(r, to_read.offset + skip, input.path.c_str());
    } else if (windowed(image, to_read)) {
        if (run < r->window_first || run >= r->window_end) load_window(r, image, run);
    } else {
        reader_seek(r, to_read.offset, input.path.c_str());
        r->base = to_read.base;
        r->segmented = to_read.segmented;
    }
}

static bool raw_piece(RunReader* r, const Input& input, Piece* piece)
{
    if (r->next >= r->end) return false;
    if (r->buf_pos == r->buf_len) {
        r->buf_at += r->buf_len;
        r->buf_pos = 0;
        r->buf_len = fread(r->buf.data(), 1, r->buf.size(), r->file);
        if (r->buf_len == 0) can_not_read(input.path.c_str()); // it has shrunk
    }
    uint64_t n = std::min<uint64_t>(r->buf_len - r->buf_pos, r->end - r->next);
    *piece = Piece { r->next + input.shift, (const unsigned char*)r->buf.data() + r->buf_pos,
        (uint32_t)n, false, 0, 0, 0 };
    r->buf_pos += n;
    r->next += n;
    return true;
}

// A run in memory goes out a page at a time.
static bool memory_piece(RunReader* r, const Input& input, Piece* piece)
{
    if (r->next >= r->end) return false;
    const Page* page = pages_find(&input.pages, (uint32_t)r->next, &r->page_hint);
    uint32_t at = (uint32_t)r->next & (PAGE_SIZE - 1);
    uint32_t n = (uint32_t)std::min<uint64_t>(PAGE_SIZE - at, r->end - r->next);
    *piece = Piece { r->next + input.shift, page->bytes + at, n, false, 0, 0, 0 };
    r->next += n;
    return true;
}

// The next piece of the run that reader_start began: its bytes stay until
// the next call. False when the run is done.
bool reader_piece(RunReader* r, const ImageRuns* image, Piece* piece)
{
    const Run& run = image->runs[r->run];
    const Input& input = image->inputs[run.input];
    if (run.in_memory) return memory_piece(r, input, piece);
    if (input.kind != INPUT_RECORDS) return raw_piece(r, input, piece);
    if (r->next >= r->end) return false;
    if (windowed(image, run)) {
        size_t at = r->window_dense ? run.address - r->window_low
                                    : r->window_at[r->run - r->window_first];
        *piece = Piece { run.address, r->window.data() + at, (uint32_t)run.n, false, 0, 0, 0 };
        r->next = r->end;
        return true;
    }
    // Only the pieces of the run being read count: the first line of a run
    // may also hold the end of another, where its addresses wrap.
    RecordParser* parser = &r->parser;
    parser->replay = true;
    for (;;) {
        parser->base = r->base;
        parser->segmented = r->segmented;
        parser->ended = false;
        bool more = reader_line(r);
        r->base = parser->base;
        r->segmented = parser->segmented;
        if (!more) can_not_read(input.path.c_str()); // it has changed since
        for (int i = 0; i < parser->piece_count; i++) {
            const LineData& line = parser->pieces[i];
            if (line.address != r->next) continue;
            uint32_t n = (uint32_t)std::min<uint64_t>(line.n, r->end - r->next);
            memcpy(r->data, line.data, n);
            *piece = Piece { r->next + input.shift, r->data, n, true, parser->line_offset,
                line.column, parser->checksum_column };
            r->next += n;
            return true;
        }
    }
}
