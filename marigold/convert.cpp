// The -x mode: record files and raw images merged into one image and
// written as a raw image or as records, the output kind taken from the
// output name's extension. While the inputs' data come in address order,
// the output is written during the first pass that checks them; else it is
// written again by a cursor over the image's runs. It is written under a
// temporary name and renamed at the end, so a refused or failed conversion
// leaves no output file behind.
#include "convert.h"
#include "image/first_pass.h"
#include "seal.h"
#include "image/image.h"
#include "image/runs.h"
#include "options.h"
#include "output.h"
#include "platform/platform.h"
#include "records/parser.h"
#include "records/writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

uint64_t BinLimit = (uint64_t)256 << 20;
uint64_t FillLimit = (uint64_t)256 << 20;

enum : uint64_t { NO_BYTE_YET = UINT64_MAX, ADDRESS_END = (uint64_t)1 << 32 };

static FILE* Out;
static OutKind Kind;
static const ImageRuns* OutImage; // its inputs, fill and crop
static bool Begun; // the output's head is written
static uint64_t Next; // the address the output has reached
static uint64_t BinNext; // the address of the .bin image's next byte
static uint64_t Filled; // the bytes -F wrote so far
static bool WrittenInFirstPass; // the first pass wrote the whole output

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
    file_write(BinBuf, BinLen, Out);
    BinLen = 0;
}

static void bin_put(const unsigned char* data, size_t n)
{
    if (BinLen + n > sizeof BinBuf) bin_flush();
    if (n >= sizeof BinBuf) {
        file_write(data, n, Out);
        return;
    }
    memcpy(BinBuf + BinLen, data, n);
    BinLen += n;
}

// Gaps that -F does not fill are filled with 0xFF in a .bin image.
static void bin_bytes(uint64_t address, const unsigned char* data, uint32_t n)
{
    if (BinNext == NO_BYTE_YET) BinNext = address;
    static unsigned char fill[4096];
    if (fill[0] == 0) memset(fill, 0xff, sizeof fill);
    while (BinNext < address) {
        uint64_t gap = address - BinNext;
        size_t piece = gap < sizeof fill ? (size_t)gap : sizeof fill;
        bin_put(fill, piece);
        BinNext += piece;
    }
    bin_put(data, n);
    BinNext = address + n;
}

// The input whose data hold address; the first input when none does.
static const char* input_at(const ImageRuns* image, uint64_t address)
{
    for (const Run& run : image->runs)
        if (run.address <= address && address < run_end(run))
            return image->inputs[run.input].path.c_str();
    return image->inputs[0].path.c_str();
}

// What made the image as it is: -R where it cut the image so, else the
// inputs that hold its first and last byte.
static std::string cause(const ImageRuns* image, bool empty)
{
    if (image->crop && (image->fill || (empty && !image->runs.empty())))
        return std::string("-R") + OptionTable[(int)'R'];
    if (empty) {
        std::string names = image->inputs[0].path;
        for (size_t i = 1; i < image->inputs.size(); i++)
            names += (i + 1 == image->inputs.size() ? " and " : ", ") + image->inputs[i].path;
        return names;
    }
    std::string low = input_at(image, image_low(image)), high = input_at(image, image_high(image));
    return low == high ? low : low + " and " + high;
}

// An image cropped to nothing is refused as .bin, and goes out as records
// that hold none with a warning.
static bool output_has_data(const ImageRuns* image)
{
    if (!image_empty(image)) return true;
    if (Kind == OUT_BIN)
        out_error("%s: no data for an image\n", cause(image, true).c_str());
    else if (image->crop && !image->runs.empty())
        out_error("WARNING:%s: no data in the range; %s holds no data records\n",
            cause(image, true).c_str(), OutputPath);
    return Kind != OUT_BIN;
}

// The highest address an S-record file must hold: its data's and its start
// address's. For .srec and .mot it settles the width.
static bool output_fits(const ImageRuns* image)
{
    if (!output_has_data(image)) return false;
    bool empty = image_empty(image);
    if (Kind == OUT_BIN) {
        uint64_t span = image_high(image) - image_low(image) + 1;
        if (span > BinLimit)
            out_error("%s: the image %08llx-%08llx would be %llu bytes, more than %llu MiB\n",
                cause(image, false).c_str(), (unsigned long long)image_low(image),
                (unsigned long long)image_high(image), (unsigned long long)span,
                (unsigned long long)(BinLimit >> 20));
        return span <= BinLimit;
    }
    if (Kind == OUT_HEX) return true;
    uint32_t top = empty ? 0 : (uint32_t)image_high(image);
    uint32_t start = linear_start(image->start_kind, image->start);
    if (start > top) top = start;
    if (Kind == OUT_SREC) Kind = top <= 0xffff ? OUT_S19 : top <= 0xffffff ? OUT_S28 : OUT_S37;
    uint32_t limit = Kind == OUT_S19 ? 0xffff : Kind == OUT_S28 ? 0xffffff : 0xffffffff;
    if (top > limit)
        out_error(
            "%s: address %08x does not fit its S-records (up to %x)\n", OutputPath, top, limit);
    return top <= limit;
}

// The bytes -F adds: the filled span less the data inside it.
static uint64_t fill_bytes(const ImageRuns* image)
{
    if (!image->fill || image_empty(image)) return 0;
    uint64_t low = image_low(image), high = image_high(image), data = 0;
    for (const Run& run : image->runs) {
        uint64_t a = std::max<uint64_t>(run.address, low), b = std::min(run_end(run), high + 1);
        if (a < b) data += b - a;
    }
    return high - low + 1 - data;
}

// A fill past FillLimit is refused unless -F says :large.
static bool fill_fits(const ImageRuns* image)
{
    uint64_t n = fill_bytes(image);
    if (n <= FillLimit || image->fill_large) return true;
    const char* text = OptionTable[(int)'F'];
    out_error("-F%s: the fill would write %llu bytes into %s, more than %llu MiB; "
              "-F%s:large allows it\n",
        text, (unsigned long long)n, OutputPath, (unsigned long long)(FillLimit >> 20), text);
    return false;
}

// The S0 header names the first input, without its folder.
static const char* header_name(const ImageRuns* image)
{
    const char* path = image->inputs[0].path.c_str();
    const char* name = path;
    for (const char* p = path; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

// The head goes out with the first bytes, when the first input's line ends
// are known.
static void begin_output()
{
    if (Begun) return;
    Begun = true;
    if (Kind != OUT_BIN) records_begin(Out, Kind, OutImage->inputs[0].crlf, header_name(OutImage));
}

static void write_bytes(uint64_t address, const unsigned char* data, uint32_t n)
{
    begin_output();
    if (Kind == OUT_BIN)
        bin_bytes(address, data, n);
    else
        records_bytes((uint32_t)address, data, n);
    Next = address + n;
}

// -F fills every gap up to address.
static void fill_to(uint64_t address)
{
    static unsigned char block[1 << 16];
    memset(block, OutImage->fill_byte, sizeof block);
    while (Next < address) {
        uint64_t n = std::min<uint64_t>(address - Next, sizeof block);
        write_bytes(Next, block, (uint32_t)n);
        Filled += n;
    }
}

// Bytes in address order, cut to -R's range.
static void put_bytes(uint64_t address, const unsigned char* data, uint64_t n)
{
    uint64_t first = address, end = address + n;
    if (OutImage->crop) {
        first = std::max(first, OutImage->first);
        end = std::min(end, OutImage->last + 1);
        if (first >= end) return;
    }
    if (Next == NO_BYTE_YET) Next = first;
    if (OutImage->fill) fill_to(first);
    write_bytes(first, data + (first - address), (uint32_t)(end - first));
}

static void start_output(FILE* out)
{
    Out = out;
    Begun = false;
    BinLen = 0;
    BinNext = NO_BYTE_YET;
    Filled = 0;
    Next = OutImage->crop && OutImage->fill ? OutImage->first : NO_BYTE_YET;
}

// Finishes the output and closes it; false when writing failed.
static bool end_output()
{
    if (OutImage->crop && OutImage->fill) fill_to(OutImage->last + 1);
    begin_output();
    if (Kind == OUT_BIN) bin_flush();
    bool written = Kind == OUT_BIN || records_end(OutImage->start_kind, OutImage->start);
    written = !ferror(Out) && written;
    set_temp_path(TempPath, nullptr);
    return file_close(Out) && written;
}

// The first pass, writing the data as they come while they come in address
// order (not for .srec and .mot, whose width the data settle, nor for a
// .bin that grows too long). False when they did not.
static bool first_pass(ImageRuns* image)
{
    bool filled_too_long
        = Kind == OUT_BIN && image->crop && image->fill && image->last - image->first >= BinLimit;
    // -K's values go in once the whole image is known.
    bool stream = Kind != OUT_SREC && !filled_too_long && ChecksumOptions.empty();
    FirstPass pass {};
    first_pass_start(&pass, image, stream);
    uint64_t reach = 0;
    Piece piece;
    while (first_pass_next(&pass, &piece)) {
        if (!stream) continue;
        uint64_t end = piece.address + piece.n;
        bool too_long
            = Kind == OUT_BIN && Next != NO_BYTE_YET && end > Next && end - Next > BinLimit;
        // A fill that may grow too large waits until the whole image is known.
        bool flood = image->fill && !image->fill_large && Next != NO_BYTE_YET
            && piece.address > Next && Filled + (piece.address - Next) > FillLimit;
        if (piece.address < reach || end > ADDRESS_END || too_long || flood) {
            stream = pass.data_wanted = false;
            continue;
        }
        reach = end;
        put_bytes(piece.address, piece.data, piece.n);
    }
    WrittenInFirstPass = stream;
    return settle_image(image, pass.sound);
}

// The output again from the start, through a cursor over the runs. The file
// stays open, so that an interrupt still finds it and nothing can take it.
static void write_again()
{
    if (!empty_file(Out)) {
        file_failed("write", OutputPath, errno);
        out_exit(1);
    }
    start_output(Out);
    Cursor cursor {};
    cursor_start(&cursor, OutImage);
    Piece piece;
    while (cursor_next(&cursor, &piece))
        put_bytes(piece.address, piece.data, piece.n);
    cursor_end(&cursor);
}

// The output is written beside its target under a name of its own: where
// that fails, the reason names the folder.
static void temp_failed(const char* target, int error)
{
    const char* name = target;
    for (const char* p = target; *p; p++)
        if (*p == '/' || *p == '\\') name = p + 1;
    std::string folder = name == target ? std::string(".") : std::string(target, name - target - 1);
    if (folder.empty()) folder = "/";
    out_printf("Fatal: can't create file:%s\ncan't create a temporary file in folder %s: %s\n",
        OutputPath, folder.c_str(), strerror(error));
}

// marigold -x IN... OUT: every path but the last is an input; with one
// path the output keeps its default name.
int convert_file()
{
    int inputs = PathCount > 1 ? PathCount - 1 : 1;
    OutputPath = PathCount > 1 ? Paths[PathCount - 1] : OutputPath;
    Kind = output_kind(OutputPath);
    if (Kind == OUT_NONE) {
        out_error(
            "%s: unknown output kind: name it .bin, .hex, .ihx, .s19, .s28, .s37, .srec or .mot\n",
            OutputPath);
        return 1;
    }
    ImageRuns image {};
    if (!seal_arguments_valid() || !parse_fill_and_crop(&image)) return 1;
    for (int i = 0; i < inputs; i++) {
        image.inputs.push_back(Input {});
        parse_input(Paths[i], &image.inputs.back());
    }
    OutImage = &image;
    std::string target, temp;
    if (!output_target(OutputPath, target)) {
        file_failed("create", OutputPath, errno);
        return 1;
    }
    FILE* out = create_temp(target.c_str(), temp);
    if (!out) {
        temp_failed(target.c_str(), errno);
        return 1;
    }
    set_temp_path(temp.c_str(), out); // from here every fatal exit removes it
    start_output(out);
    if (!first_pass(&image) || seal_image(&image, true) != SEAL_EQUAL || !output_fits(&image)
        || !fill_fits(&image)) {
        fclose(Out);
        remove(temp.c_str());
        set_temp_path(nullptr, nullptr);
        return 1;
    }
    if (!WrittenInFirstPass) write_again();
    if (!end_output()) {
        file_failed("write", OutputPath, FileErrno);
        out_exit(1);
    }
    // The report goes first: an output without it would be a run half done.
    if (Kind == OUT_BIN) {
        uint64_t low = image_low(&image), high = image_high(&image);
        out_printf("image: %08llx-%08llx %llu bytes\n", (unsigned long long)low,
            (unsigned long long)high, (unsigned long long)(high - low + 1));
    }
    if (!out_ok()) out_exit(1);
    if (!replace_file(temp.c_str(), target.c_str())) {
        file_failed("write", OutputPath, errno);
        out_exit(1);
    }
    set_temp_path(nullptr, nullptr);
    return 0;
}
