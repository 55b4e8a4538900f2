// -c and -w on an Intel HEX or S-record file: the checksum words are the
// first 32 bytes of the image that the file describes, from its lowest data
// address. -w rewrites only the digits of the records that hold bytes 28 to
// 31 and those records' checksums, in the case the line uses: the lines keep
// their length and every other byte of the file stays. The file is patched
// where it is, so a symbolic link keeps pointing at it, hard links stay one
// file, and its folder need not be writable.
#include "checksum_word_records.h"
#include "image/first_pass.h"
#include "image/image.h"
#include "image/runs.h"
#include "options.h"
#include "output.h"
#include "platform/platform.h"
#include "records/lines.h"

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

enum { SUM_BYTES = 32, FIX_FROM = 28, IN_PLACE_MAX = 4096 };

struct Place {
    uint64_t line; // file offset of the line
    uint32_t column, checksum_column;
};
static unsigned char Window[SUM_BYTES];
static Place Places[SUM_BYTES - FIX_FROM];
static uint32_t Low;

static void sum_piece(const Piece& piece)
{
    for (uint32_t i = 0; i < piece.n; i++) {
        uint32_t k = (uint32_t)(piece.address + i - Low);
        Window[k] = piece.data[i];
        if (k >= FIX_FROM)
            Places[k - FIX_FROM]
                = Place { piece.line, piece.column + 2 * i, piece.checksum_column };
    }
}

static uint32_t window_word(int index)
{
    const unsigned char* p = Window + 4 * index;
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

// The bytes from the lowest address that follow on from it without a gap.
static uint64_t first_stretch(const ImageRuns* image)
{
    const std::vector<Run>& runs = image->runs;
    uint64_t end = run_end(runs[0]);
    for (size_t i = 1; i < runs.size() && runs[i].address == end; i++)
        end += runs[i].n;
    return end - runs[0].address;
}

// Checks the file and fills Window; false after saying why not.
static bool read_window()
{
    ImageRuns image {};
    image.lines_wanted = true;
    image.inputs.push_back(Input {});
    image.inputs[0].path = InputPath;
    if (!read_inputs(&image)) return false;
    if (image.runs.empty()) {
        out_error("%s: no data for the checksum words\n", InputPath);
        return false;
    }
    Low = (uint32_t)image.runs[0].address;
    uint64_t held = first_stretch(&image);
    if (held < SUM_BYTES) {
        out_error("%s: the checksum words %08x-%08x lack the bytes from %08x\n", InputPath, Low,
            (uint32_t)(Low + SUM_BYTES - 1), (uint32_t)(Low + held));
        return false;
    }
    image.crop = true;
    image.first = Low;
    image.last = Low + SUM_BYTES - 1;
    Cursor cursor {};
    cursor_start(&cursor, &image);
    Piece piece;
    while (cursor_next(&cursor, &piece))
        sum_piece(piece);
    cursor_end(&cursor);
    return true;
}

static int lower_letters(const char* text, size_t n)
{
    int lower = 0;
    for (size_t i = 0; i < n; i++)
        lower += text[i] >= 'a' && text[i] <= 'f' ? 1 : text[i] >= 'A' && text[i] <= 'F' ? -1 : 0;
    return lower;
}

// True when the letters at the start of the file are mostly lower case.
static bool FileLower;

// Two digits at text in the case that the line's letters mostly have, or
// the file's when the line has no letters.
static void put_pair(char* text, unsigned value, const char* line, size_t n)
{
    int lower = lower_letters(line, n);
    const char* digits
        = lower > 0 || (lower == 0 && FileLower) ? "0123456789abcdef" : "0123456789ABCDEF";
    text[0] = digits[value >> 4 & 15];
    text[1] = digits[value & 15];
}

static int pair_at(const char* text)
{
    int high = HexDigitValue[(unsigned char)text[0]], low = HexDigitValue[(unsigned char)text[1]];
    return (high | low) < 0 ? NO_HEX_NUMBER : high << 4 | low;
}

// Stretches of the file's text that hold bytes 28 to 31: read, patched and
// written back.
struct TextPiece {
    uint64_t at;
    std::string text;
};
static std::vector<TextPiece> Pieces;

// One piece from the first touched line to the end of the last when that
// is short; else one piece per touched line, as they may lie far apart.
static void plan_pieces()
{
    uint64_t from = UINT64_MAX, to = 0;
    for (const Place& place : Places) {
        from = std::min(from, place.line);
        to = std::max(to, place.line + place.checksum_column + 2);
    }
    Pieces.clear();
    if (to - from <= IN_PLACE_MAX) {
        Pieces.push_back(TextPiece { from, std::string(to - from, '\0') });
        return;
    }
    for (const Place& place : Places) {
        if (!Pieces.empty() && Pieces.back().at == place.line) continue;
        Pieces.push_back(TextPiece { place.line, std::string(place.checksum_column + 2, '\0') });
    }
}

static bool read_pieces(FILE* file)
{
    for (TextPiece& piece : Pieces) {
        if (!seek_file(file, piece.at)
            || fread(&piece.text[0], 1, piece.text.size(), file) != piece.text.size())
            return false;
    }
    return true;
}

static char* text_at(uint64_t offset)
{
    for (TextPiece& piece : Pieces)
        if (offset >= piece.at && offset - piece.at < piece.text.size())
            return &piece.text[offset - piece.at];
    return nullptr;
}

// Patches the pieces with the new bytes 28 to 31; false when the text is
// no longer what the first read found.
static bool patch_text(uint32_t word)
{
    for (int i = 0; i < SUM_BYTES - FIX_FROM; i++) {
        const Place& place = Places[i];
        char* line = text_at(place.line);
        unsigned fresh = word >> 8 * i & 0xff, old = Window[FIX_FROM + i];
        int check = pair_at(line + place.checksum_column);
        if (pair_at(line + place.column) != (int)old || check < 0) return false;
        size_t n = place.checksum_column + 2;
        put_pair(line + place.column, fresh, line, n);
        put_pair(line + place.checksum_column, (check - (fresh - old)) & 0xff, line, n);
    }
    return true;
}

static bool write_piece(FILE* file, const TextPiece& piece)
{
    return seek_file(file, piece.at)
        && file_write(piece.text.data(), piece.text.size(), file);
}

// The pieces are written from the last to the first: where the file may not
// grow past a size limit, the farthest write is refused before anything
// changed. A piece that fails puts back itself and those written before it.
static bool write_pieces(FILE* file, const std::vector<TextPiece>& original)
{
    size_t i = Pieces.size();
    while (i > 0 && write_piece(file, Pieces[i - 1]))
        i--;
    if (i == 0) return true;
    for (size_t k = i - 1; k < Pieces.size(); k++)
        write_piece(file, original[k]);
    return false;
}

// The touched lines are read, patched and written back in place, with one
// write when they lie close together.
static int write_word(uint32_t word)
{
    FILE* file = fopen(InputPath, "r+b");
    if (!file) {
        file_failed("create", InputPath, errno);
        return 1;
    }
    setvbuf(file, nullptr, _IONBF, 0);
    static char start[1 << 16];
    size_t n = fread(start, 1, sizeof start, file);
    FileLower = lower_letters(start, n) > 0;
    plan_pieces();
    bool read = read_pieces(file);
    std::vector<TextPiece> original = Pieces;
    if (!read || !patch_text(word)) {
        fclose(file);
        out_error("%s: changed while it was read; not written\n", InputPath);
        return 1;
    }
    bool written = write_pieces(file, original);
    if (!file_close(file) || !written) {
        file_failed("write", InputPath, FileErrno);
        return 1;
    }
    return 0;
}

int check_records(bool fix)
{
    if (!read_window()) return 1;
    uint32_t sum = 0;
    for (int i = 0; i < SUM_BYTES / 4; i++)
        sum += window_word(i);
    out_printf("sum=%x\n", sum);
    if (!fix || sum == 0) return 0;
    if (!out_ok()) return 1; // the file is not changed behind a lost report
    return write_word(window_word(7) - sum);
}
