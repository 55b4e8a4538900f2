// The first pass over the inputs of the image model. A record file is read
// the way -i reads it: the pass checks it and notes its runs, each with the
// file offset of its first line and the base in force there; a raw image is
// one run. Also the test that tells record files from raw images.
#include "image/first_pass.h"
#include "image/elf.h"
#include "image/image.h"
#include "image/pages.h"
#include "image/run_reader.h"
#include "image/runs.h"
#include "options.h"
#include "output.h"
#include "platform/platform.h"
#include "records/lines.h"
#include "records/parser.h"
#include "records/ranges.h"

#include <algorithm>
#include <cstring>

// The callers made sure the input is a file on disk.
static void rewind_input(FILE* in, const char* path)
{
    if (!seek_file(in, 0)) can_not_read(path);
}

// A record line, as -i would read it or with blanks around it: ':' and at
// least the ten digits of the shortest Intel HEX record, or 'S', a digit and
// at least eight digits, and no more digits than the longest record holds.
// Lines end at LF or at CR, so CR-only files count too.
enum { RECORD_DIGITS_MAX = 2 * (5 + 255) };
enum SniffPhase { SNIFF_START, SNIFF_S_TYPE, SNIFF_DIGITS, SNIFF_TRAIL, SNIFF_SKIP };

static bool sniff_line_ends(SniffPhase phase, char kind, int digits)
{
    return (phase == SNIFF_DIGITS || phase == SNIFF_TRAIL) && digits >= (kind == ':' ? 10 : 8);
}

// True when any line of the file is a record line: such a file is read as
// records (and refused when -i finds problems in it), never patched as a raw
// image. A raw image holds such a line only by a chance of about 1 in 10^17
// per byte.
bool holds_record_line(FILE* in)
{
    static const unsigned char bom[] = { 0xef, 0xbb, 0xbf };
    SniffPhase phase = SNIFF_START;
    char kind = 0;
    int digits = 0;
    bool found = false;
    int c = fgetc(in);
    for (int i = 0; i < 3 && c == bom[i]; i++)
        c = fgetc(in);
    for (; !found && c != EOF; c = getc(in)) {
        if (c == '\n' || c == '\r') {
            found = sniff_line_ends(phase, kind, digits);
            phase = SNIFF_START;
            continue;
        }
        bool blank = c == ' ' || c == '\t';
        switch (phase) {
        case SNIFF_START:
            kind = (char)c;
            digits = 0;
            phase = blank  ? SNIFF_START
                : c == ':' ? SNIFF_DIGITS
                : c == 'S' ? SNIFF_S_TYPE
                           : SNIFF_SKIP;
            break;
        case SNIFF_S_TYPE:
            phase = c >= '0' && c <= '9' ? SNIFF_DIGITS : SNIFF_SKIP;
            break;
        case SNIFF_DIGITS:
            if (HexDigitValue[c] >= 0)
                phase = ++digits <= RECORD_DIGITS_MAX ? SNIFF_DIGITS : SNIFF_SKIP;
            else
                phase = blank ? SNIFF_TRAIL : SNIFF_SKIP;
            break;
        case SNIFF_TRAIL:
            phase = blank ? SNIFF_TRAIL : SNIFF_SKIP;
            break;
        case SNIFF_SKIP:
            break;
        }
    }
    found = found || sniff_line_ends(phase, kind, digits);
    rewind_input(in, InputPath);
    return found;
}

static bool first_line_crlf(FILE* in, const char* path)
{
    int c, previous = 0;
    while ((c = fgetc(in)) != EOF && c != '\n')
        previous = c;
    rewind_input(in, path);
    return c == '\n' && previous == '\r';
}

// Runs begun below an input's highest data so far, while its runs are
// small (less than 16 KiB of the file each), before its data go to pages:
// a few sections out of order are read again from the file, records in any
// order are kept in memory.
enum { PAGED_AFTER = 16, SMALL_RUN = 16384 };

// A piece that follows on from the input's last run, in the file and in
// the address space, lengthens it; once the input's data go to pages, the
// pieces that do not go there.
static void note_run(FirstPass* pass, const LineData& piece)
{
    ImageRuns* image = pass->image;
    Input& input = image->inputs[pass->input];
    std::vector<Run>& runs = image->runs;
    bool follows = runs.size() > pass->from && !input.last_paged
        && run_end(runs.back()) == piece.address && runs.back().n <= UINT32_MAX - piece.n;
    if (follows) {
        runs.back().n += piece.n;
    } else if (input.paged) {
        pages_put(&input.pages, piece.address, piece.data, piece.n);
    } else {
        const RecordParser* parser = &pass->reader.parser;
        runs.push_back(Run { parser->line_offset, piece.address, piece.n, pass->input, parser->base,
            parser->segmented, false });
        input.runs++;
        if (piece.address < input.reach && ++input.behind >= PAGED_AFTER && !image->lines_wanted
            && input.runs * SMALL_RUN > pass->reader.parser.line_offset)
            input.paged = true;
    }
    input.last_paged = input.paged && !follows;
    input.reach = std::max<uint64_t>(input.reach, (uint64_t)piece.address + piece.n);
}

// An input's runs sorted by address; true when none overlaps the one
// before it.
static bool runs_apart(ImageRuns* image, size_t from)
{
    std::vector<Run>& runs = image->runs;
    std::sort(runs.begin() + from, runs.end(),
        [](const Run& a, const Run& b) { return a.address < b.address; });
    for (size_t i = from + 1; i < runs.size(); i++)
        if (runs[i].address < run_end(runs[i - 1])) return false;
    return true;
}

// A record file read again as -i reads it, for -i's messages on standard
// error.
static void report_problems(FILE* in, const char* path)
{
    RunReader r {};
    r.file = in;
    r.buf.resize(READ_BLOCK);
    rewind_input(in, path);
    parser_reset(&r.parser, path);
    ranges_clear();
    out_to_error(true);
    while (reader_line(&r)) { }
    parser_check_end(&r.parser);
    out_to_error(false);
}

// The end of a record file's first pass, which finds overlaps among its
// runs: faster than -i's map of ranges where the records come in any
// order. A file with a problem is read again for -i's messages. False
// then, or when the file is no record file of one format.
static bool end_records(FirstPass* pass)
{
    ImageRuns* image = pass->image;
    Input& input = image->inputs[pass->input];
    const RecordParser* parser = &pass->reader.parser;
    const char* path = input.path.c_str();
    input.size = pass->reader.buf_at + pass->reader.buf_len;
    parser_check_end(&pass->reader.parser);
    out_quiet(false);
    if (input.paged) pages_to_runs(&input.pages, pass->input, &image->runs);
    if (parser->problems != 0 || input.pages.overlap || !runs_apart(image, pass->from)) {
        image->runs.resize(pass->from);
        pages_clear(&input.pages);
        report_problems(pass->reader.file, path);
        return false;
    }
    if (parser->intel_seen && parser->srec_seen)
        out_error("%s: mixes Intel HEX and S-records\n", path);
    else if (!parser->intel_seen && !parser->srec_seen)
        out_error("%s: holds no records\n", path);
    input.start_kind = parser->start_kind;
    input.start = parser->start;
    return parser->intel_seen != parser->srec_seen;
}

// A raw image is one run from its first byte.
static bool begin_raw(FirstPass* pass)
{
    ImageRuns* image = pass->image;
    uint64_t size = 0;
    const char* path = image->inputs[pass->input].path.c_str();
    if (!file_size(pass->reader.file, &size)) can_not_read(path);
    if (size > (uint64_t)1 << 32) {
        out_error("%s: %llu bytes do not fit the 4 GiB address space\n", path,
            (unsigned long long)size);
        return false;
    }
    image->inputs[pass->input].size = size;
    // A run holds less than 4 GiB: an image of exactly 4 GiB takes two.
    for (uint64_t at = 0; at < size; at += (uint64_t)1 << 31) {
        uint32_t n = (uint32_t)std::min<uint64_t>(size - at, (uint64_t)1 << 31);
        image->runs.push_back(Run { at, (uint32_t)at, n, pass->input, 0, false, false });
        image->inputs[pass->input].runs++;
    }
    return true;
}

// An ELF file's segments with data are its runs, at their load addresses,
// each read from its place in the file. A damaged file is refused, named.
static bool begin_elf(FirstPass* pass)
{
    Input& input = pass->image->inputs[pass->input];
    const char* path = input.path.c_str();
    uint64_t size = 0;
    if (!file_size(pass->reader.file, &size)) can_not_read(path);
    pass->elf.resize((size_t)size);
    if (size && fread(pass->elf.data(), 1, (size_t)size, pass->reader.file) != size) can_not_read(path);
    ElfImage elf;
    std::string error;
    if (!read_elf(pass->elf.data(), pass->elf.size(), &elf, &error)) {
        out_error("%s: %s\n", path, error.c_str());
        return false;
    }
    input.size = size;
    input.start_kind = START_LINEAR;
    input.start = elf.entry;
    for (const ElfSegment& segment : elf.segments) {
        pass->image->runs.push_back(
            Run { segment.offset, segment.load, segment.size, pass->input, 0, false, false });
        input.runs++;
    }
    pass->elf_run = pass->from;
    return true;
}

// Opens the next input. False when it can't be read twice.
static bool begin_input(FirstPass* pass)
{
    Input& input = pass->image->inputs[pass->input];
    const char* path = input.path.c_str();
    FILE* in = open_path(path);
    pass->reader.file = in;
    pass->reader.path = path;
    pass->reader.buf_at = pass->reader.buf_len = pass->reader.buf_pos = 0;
    pass->from = pass->image->runs.size();
    pass->next = 0;
    pass->count = pass->piece_count = 0;
    if (!file_seekable(in)) {
        out_error("%s: can't be read twice (a pipe?); it must be a file\n", path);
        return false;
    }
    if (input.kind == INPUT_RAW) return begin_raw(pass);
    if (input.kind == INPUT_ELF) return begin_elf(pass);
    input.crlf = first_line_crlf(in, path);
    parser_reset(&pass->reader.parser, path);
    pass->reader.parser.quick = true;
    out_quiet(true); // its problems are listed by end_records
    return true;
}

static void end_input(FirstPass* pass, bool sound)
{
    pass->sound = sound && pass->sound;
    std::vector<unsigned char>().swap(pass->elf);
    close_path(pass->reader.file, pass->reader.path);
    pass->reader.file = nullptr;
    pass->input++;
}

void first_pass_start(FirstPass* pass, ImageRuns* image, bool data_wanted)
{
    pass->image = image;
    pass->input = 0;
    pass->sound = true;
    pass->data_wanted = data_wanted;
    pass->reader.buf.resize(READ_BLOCK);
}

// A raw image's bytes, when they are wanted in the first pass.
static bool raw_block(FirstPass* pass, Piece* piece)
{
    RunReader* r = &pass->reader;
    const Input& input = pass->image->inputs[pass->input];
    if (!pass->data_wanted || pass->next >= input.size) return false;
    r->buf_len = fread(r->buf.data(), 1, r->buf.size(), r->file);
    if (r->buf_len == 0) return false; // shorter than it was: close_input tells
    *piece = Piece { (uint64_t)((int64_t)pass->next + input.shift),
        (const unsigned char*)r->buf.data(), (uint32_t)r->buf_len, false, 0, 0, 0 };
    pass->next += r->buf_len;
    return true;
}

// An ELF file's segments, from the copy of the file, when they are wanted.
static bool elf_block(FirstPass* pass, Piece* piece)
{
    const std::vector<Run>& runs = pass->image->runs;
    const Input& input = pass->image->inputs[pass->input];
    for (; pass->data_wanted && pass->elf_run < runs.size(); pass->elf_run++, pass->next = 0) {
        const Run& run = runs[pass->elf_run];
        if (pass->next >= run.n) continue;
        uint32_t n = (uint32_t)std::min<uint64_t>(run.n - pass->next, READ_BLOCK);
        *piece = Piece { (uint64_t)((int64_t)run.address + input.shift) + pass->next,
            pass->elf.data() + run.offset + pass->next, n, false, 0, 0, 0 };
        pass->next += n;
        return true;
    }
    return false;
}

// A copy of the line's data, which the reader of another file (-d reads two
// at once) may overwrite before they are handed out.
static void keep_line_data(FirstPass* pass)
{
    const RecordParser* parser = &pass->reader.parser;
    pass->count = 0;
    pass->piece_count = parser->piece_count;
    pass->line_offset = parser->line_offset;
    pass->checksum_column = parser->checksum_column;
    unsigned char* to = pass->data;
    for (int i = 0; i < parser->piece_count; i++) {
        pass->pieces[i] = parser->pieces[i];
        memcpy(to, parser->pieces[i].data, parser->pieces[i].n);
        pass->pieces[i].data = to;
        to += parser->pieces[i].n;
    }
}

// The data of every input in turn, in file order, shifted; a record file's
// from its checked lines, each valid until the next call. False at the end.
// While no data are wanted the inputs are only noted, and nothing is handed out.
bool first_pass_next(FirstPass* pass, Piece* piece)
{
    ImageRuns* image = pass->image;
    for (;;) {
        if (!pass->reader.file) {
            if (pass->input == image->inputs.size()) return false;
            if (!begin_input(pass)) end_input(pass, false);
            continue;
        }
        const Input& input = image->inputs[pass->input];
        if (input.kind != INPUT_RECORDS) {
            if (input.kind == INPUT_RAW ? raw_block(pass, piece) : elf_block(pass, piece)) return true;
            end_input(pass, true);
            continue;
        }
        if (pass->count < pass->piece_count) {
            const LineData& line = pass->pieces[pass->count++];
            uint64_t address = (uint64_t)((int64_t)line.address + input.shift); // checked later
            *piece = Piece { address, line.data, line.n, true, pass->line_offset, line.column,
                pass->checksum_column };
            return true;
        }
        if (reader_line(&pass->reader)) {
            if (pass->data_wanted) keep_line_data(pass);
            for (int i = 0; i < pass->reader.parser.piece_count; i++)
                note_run(pass, pass->reader.parser.pieces[i]);
            continue;
        }
        end_input(pass, end_records(pass));
    }
}

// Every input through the first pass, then the image settled.
bool read_inputs(ImageRuns* image)
{
    FirstPass pass {};
    first_pass_start(&pass, image, false);
    Piece piece;
    while (first_pass_next(&pass, &piece)) { }
    return settle_image(image, pass.sound);
}
