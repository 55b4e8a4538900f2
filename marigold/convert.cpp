// The -x mode: a record file converted to a raw image or to records, the
// output kind taken from the output name's extension. The input is checked in
// full first; the output is written under a temporary name and renamed at
// the end, so a refused or failed conversion leaves no output file behind.
#include "marigold.h"
#include "platform.h"

#include <cstring>
#include <string>

uint64_t BinLimit = (uint64_t)256 << 20;

static FILE* Out;
static OutKind Kind;
enum : uint64_t { NO_BYTE_YET = UINT64_MAX };
static uint64_t BinNext; // the address of the .bin image's next byte
static uint32_t Lowest, Highest;
static bool Crlf; // the input's first line ends with CR LF

OutKind output_kind(const char* path)
{
    static const struct {
        const char* extension;
        OutKind kind;
    } kinds[] = { { "bin", OUT_BIN }, { "hex", OUT_HEX }, { "ihx", OUT_HEX }, { "s19", OUT_S19 },
        { "s28", OUT_S28 }, { "s37", OUT_S37 }, { "srec", OUT_SREC }, { "mot", OUT_SREC } };
    const char* dot = strrchr(path, '.');
    if (!dot || strpbrk(dot, "/\\")) return OUT_NONE;
    for (const auto& k : kinds) {
        size_t i = 0;
        while (k.extension[i] && (dot[1 + i] | 0x20) == k.extension[i])
            i++;
        if (!k.extension[i] && !dot[1 + i]) return k.kind;
    }
    return OUT_NONE;
}

// The .bin image goes out in blocks: records bring a few bytes at a time.
static unsigned char BinBuf[1 << 16];
static size_t BinLen;

static void bin_flush()
{
    fwrite(BinBuf, 1, BinLen, Out);
    BinLen = 0;
}

static void bin_put(const unsigned char* data, size_t n)
{
    if (BinLen + n > sizeof BinBuf) bin_flush();
    if (n >= sizeof BinBuf) {
        fwrite(data, 1, n, Out);
        return;
    }
    memcpy(BinBuf + BinLen, data, n);
    BinLen += n;
}

// Gaps in a .bin image are filled with 0xFF. While the first pass streams,
// the image starts at the first byte, and data that would make it too long
// stop the stream before any fill is written.
void convert_bytes(uint32_t address, const unsigned char* data, uint32_t n)
{
    if (Kind != OUT_BIN) return records_bytes(address, data, n);
    if (BinNext == NO_BYTE_YET) BinNext = Lowest = address;
    if ((uint64_t)address + n - Lowest > BinLimit) {
        Streaming = false;
        return;
    }
    static unsigned char fill[4096];
    if (fill[0] == 0) memset(fill, 0xff, sizeof fill);
    while (BinNext < address) {
        uint64_t gap = address - BinNext;
        size_t piece = gap < sizeof fill ? (size_t)gap : sizeof fill;
        bin_put(fill, piece);
        BinNext += piece;
    }
    bin_put(data, n);
    BinNext = (uint64_t)address + n;
}

// The highest address an S-record file must hold: its data's and its start
// address's. For .srec and .mot it settles the width.
static bool output_fits()
{
    if (Kind == OUT_BIN) {
        uint64_t span = (uint64_t)Highest - Lowest + 1;
        if (Ranges.empty())
            out_error("%s: no data for an image\n", InputPath);
        else if (span > BinLimit)
            out_error("%s: the image %08x-%08x would be %llu bytes, more than %llu MiB\n",
                InputPath, Lowest, Highest, (unsigned long long)span,
                (unsigned long long)(BinLimit >> 20));
        return !Ranges.empty() && span <= BinLimit;
    }
    if (Kind == OUT_HEX) return true;
    uint32_t top = Ranges.empty() ? 0 : Highest;
    if (linear_start() > top) top = linear_start();
    if (Kind == OUT_SREC) Kind = top <= 0xffff ? OUT_S19 : top <= 0xffffff ? OUT_S28 : OUT_S37;
    uint32_t limit = Kind == OUT_S19 ? 0xffff : Kind == OUT_S28 ? 0xffffff : 0xffffffff;
    if (top > limit)
        out_error(
            "%s: address %08x does not fit its S-records (up to %x)\n", OutputPath, top, limit);
    return top <= limit;
}

// The output is written during the first pass while the data come in
// address order (not for .srec and .mot, whose width the data settle), and
// else written again from the start by the replay.
static bool open_output(FILE* out)
{
    Out = out;
    if (!Out) return false;
    BinNext = NO_BYTE_YET;
    BinLen = 0;
    if (Kind != OUT_BIN && Kind != OUT_SREC) records_begin(Out, Kind, Crlf);
    return true;
}

// Finishes the output under its temporary name and closes it; false when
// writing failed.
static bool finish_output(FILE* in, const std::string& temp)
{
    if (!Streaming) {
        fclose(Out);
        if (!open_output(fopen(temp.c_str(), "wb"))) return false;
        DataTarget = DATA_CONVERT;
        BinNext = Lowest;
        replay_image(in, 0, (uint64_t)1 << 32);
        DataTarget = DATA_NONE;
    }
    if (Kind == OUT_BIN) bin_flush();
    bool written = Kind == OUT_BIN || records_end();
    written = !ferror(Out) && written;
    return fclose(Out) == 0 && written;
}

// The input's lowest and highest data address, once the first pass is done.
static void settle_range()
{
    if (!Ranges.empty()) {
        Lowest = Ranges.begin()->first;
        Highest = (uint32_t)(std::prev(Ranges.end())->second - 1);
    }
}

int convert_file()
{
    Kind = output_kind(OutputPath);
    if (Kind == OUT_NONE) {
        out_error(
            "%s: unknown output kind: name it .bin, .hex, .ihx, .s19, .s28, .s37, .srec or .mot\n",
            OutputPath);
        return 1;
    }
    FILE* in = open_input();
    if (!file_seekable(in)) {
        close_input(in);
        out_error("%s: can't be read twice (a pipe?); -x needs a file\n", InputPath);
        return 1;
    }
    std::string temp;
    Crlf = first_line_crlf(in);
    if (!open_output(create_temp(OutputPath, temp))) {
        close_input(in);
        out_printf("Fatal: can't create file:%s\n", OutputPath);
        return 1;
    }
    set_temp_path(temp.c_str()); // from here every fatal exit removes it
    bool sound = records_sound(in, Kind != OUT_SREC);
    settle_range();
    if (!sound || !output_fits()) {
        fclose(Out);
        remove(temp.c_str());
        set_temp_path(nullptr);
        close_input(in);
        return 1;
    }
    bool written = finish_output(in, temp);
    close_input(in); // a read error ends the run here
    if (!written) {
        out_printf("Fatal: can't write file:%s\n", OutputPath);
        out_exit(1);
    }
    // The report goes first: an output without it would be a run half done.
    if (Kind == OUT_BIN) {
        out_printf("image: %08x-%08x %llu bytes\n", Lowest, Highest,
            (unsigned long long)((uint64_t)Highest - Lowest + 1));
    }
    if (!out_ok()) out_exit(1);
    if (!replace_file(temp.c_str(), OutputPath)) {
        out_printf("Fatal: can't write file:%s\n", OutputPath);
        out_exit(1);
    }
    set_temp_path(nullptr);
    return 0;
}
