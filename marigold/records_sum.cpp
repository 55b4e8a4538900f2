// -c and -w on an Intel HEX or S-record file: the checksum words are the
// first 32 bytes of the image that the file describes, from its lowest data
// address. -w rewrites only the digits of the records that hold bytes 28 to
// 31 and those records' checksums, in place, in the case the line uses: the
// lines keep their length and every other byte of the file stays.
#include "marigold.h"
#include "platform.h"

#include <string>

enum { SUM_BYTES = 32, FIX_FROM = 28 };

struct Place {
    uint64_t line; // file offset of the line
    uint32_t column, checksum_column;
};
static unsigned char Window[SUM_BYTES];
static Place Places[SUM_BYTES - FIX_FROM];
static uint32_t Low;

void sum_bytes(uint32_t address, const unsigned char* data, uint32_t n, uint32_t column)
{
    for (uint32_t i = 0; i < n; i++) {
        uint32_t k = address + i - Low;
        Window[k] = data[i];
        if (k >= FIX_FROM)
            Places[k - FIX_FROM] = Place { Info.line_offset, column + 2 * i, Info.checksum_column };
    }
}

static uint32_t window_word(int index)
{
    const unsigned char* p = Window + 4 * index;
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

// Checks the file and fills Window; false after saying why not.
static bool read_window(FILE* in)
{
    if (!records_sound(in, false)) return false;
    if (Ranges.empty()) {
        out_error("%s: no data for the checksum words\n", InputPath);
        return false;
    }
    auto first = Ranges.begin();
    if (first->second - first->first < SUM_BYTES) {
        out_error("%s: the checksum words %08x-%08x lack the bytes from %08x\n", InputPath,
            first->first, (uint32_t)(first->first + SUM_BYTES - 1), (uint32_t)first->second);
        return false;
    }
    Low = first->first;
    DataTarget = DATA_CHECKSUM;
    replay_image(in, Low, (uint64_t)Low + SUM_BYTES);
    DataTarget = DATA_NONE;
    return true;
}

// Two digits at text in the case that the line's letters mostly have.
static void put_pair(char* text, unsigned value, const char* line, size_t n)
{
    int lower = 0;
    for (size_t i = 0; i < n; i++)
        lower += line[i] >= 'a' && line[i] <= 'f' ? 1 : line[i] >= 'A' && line[i] <= 'F' ? -1 : 0;
    const char* digits = lower > 0 ? "0123456789abcdef" : "0123456789ABCDEF";
    text[0] = digits[value >> 4 & 15];
    text[1] = digits[value & 15];
}

static int pair_at(const char* text)
{
    int high = HexDigitValue[(unsigned char)text[0]], low = HexDigitValue[(unsigned char)text[1]];
    return (high | low) < 0 ? -1 : high << 4 | low;
}

// Patches the text of the lines from file offset `from` with the new bytes
// 28 to 31; false when the text is no longer what the first read found.
static bool patch_text(std::string& text, uint64_t from, uint32_t word)
{
    for (int i = 0; i < SUM_BYTES - FIX_FROM; i++) {
        const Place& place = Places[i];
        char* line = &text[place.line - from];
        unsigned fresh = word >> 8 * i & 0xff, old = Window[FIX_FROM + i];
        int check = pair_at(line + place.checksum_column);
        if (pair_at(line + place.column) != (int)old || check < 0) return false;
        size_t n = place.checksum_column + 2;
        put_pair(line + place.column, fresh, line, n);
        put_pair(line + place.checksum_column, (check - (fresh - old)) & 0xff, line, n);
    }
    return true;
}

// The lines that hold bytes 28 to 31 are read, patched and written back
// with one write, so a failure leaves the file as it was.
static int write_word(uint32_t word)
{
    uint64_t from = UINT64_MAX, to = 0;
    for (const Place& place : Places) {
        if (place.line < from) from = place.line;
        if (place.line + place.checksum_column + 2 > to)
            to = place.line + place.checksum_column + 2;
    }
    FILE* file = fopen(InputPath, "r+b");
    if (!file) {
        out_printf("Fatal: can't create file:%s\n", InputPath);
        return 1;
    }
    setvbuf(file, nullptr, _IONBF, 0);
    std::string text(to - from, '\0');
    bool read = seek_file(file, from) && fread(&text[0], 1, text.size(), file) == text.size();
    if (!read || !patch_text(text, from, word)) {
        fclose(file);
        out_error("%s: changed while it was read; not written\n", InputPath);
        return 1;
    }
    bool failed
        = !seek_file(file, from) || fwrite(text.data(), 1, text.size(), file) != text.size();
    if (fclose(file) != 0 || failed) {
        out_printf("Fatal: can't write file:%s\n", InputPath);
        return 1;
    }
    return 0;
}

int check_records(bool fix)
{
    FILE* in = open_input();
    bool read = read_window(in);
    close_input(in);
    if (!read) return 1;
    uint32_t sum = 0;
    for (int i = 0; i < SUM_BYTES / 4; i++)
        sum += window_word(i);
    out_printf("sum=%x\n", sum);
    if (!fix || sum == 0) return 0;
    return write_word(window_word(7) - sum);
}
