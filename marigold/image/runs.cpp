// The image model: the inputs' runs placed, shifted and merged into one
// image, its bounds once cropped and filled, and a cursor that hands its
// bytes out in address order.
#include "image/runs.h"
#include "image/elf.h"
#include "image/image.h"
#include "image/run_reader.h"
#include "options.h"
#include "output.h"
#include "records/lines.h"
#include "records/parser.h"

#include <algorithm>
#include <cstring>

enum : uint64_t { ADDRESS_END = (uint64_t)1 << 32 };

// Hex as marigold prints it, with or without 0x, up to ffffffff; the text
// must end after the digits.
static bool parse_hex(const char* text, uint64_t* value)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
    int digits = 0;
    uint64_t v = 0;
    for (; HexDigitValue[(unsigned char)*text] >= 0; text++, digits++)
        v = v << 4 | HexDigitValue[(unsigned char)*text];
    *value = v;
    return *text == 0 && digits > 0 && digits <= 16 && v < ADDRESS_END;
}

static bool raw_name(const std::string& name)
{
    size_t n = name.size();
    if (n < 4 || name[n - 4] != '.') return false;
    return ((name[n - 3] | 0x20) == 'b') && ((name[n - 2] | 0x20) == 'i')
        && ((name[n - 1] | 0x20) == 'n');
}

static bool elf_name(const std::string& name)
{
    size_t n = name.size();
    return n >= 4 && name[n - 4] == '.' && (name[n - 3] | 0x20) == 'e' && (name[n - 2] | 0x20) == 'l'
        && (name[n - 1] | 0x20) == 'f';
}

// A file that starts with the ELF magic is an ELF file, whatever its name.
bool elf_input(const std::string& path)
{
    if (elf_name(path)) return true;
    unsigned char head[4] = {};
    FILE* file = fopen(path.c_str(), "rb");
    size_t n = file ? fread(head, 1, 4, file) : 0;
    if (file) fclose(file);
    return is_elf(head, n);
}

static bool hex_digits_only(const char* text)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
    if (!*text) return false;
    while (HexDigitValue[(unsigned char)*text] >= 0)
        text++;
    return *text == 0;
}

static bool file_exists(const char* path)
{
    FILE* file = fopen(path, "rb");
    if (file) fclose(file);
    return file != nullptr;
}

// NAME, NAME@+N, NAME@-N and NAME.bin@ADDR. The text after the last '@'
// counts only when it parses as a shift or, after a .bin name, a place;
// else the whole argument is the name. A place or shift of hex digits past
// ffffffff is refused, unless a file has the whole argument as its name.
bool parse_input(const char* arg, Input* input)
{
    *input = Input {};
    input->path = arg;
    const char* at = strrchr(arg, '@');
    if (at) {
        std::string name(arg, at - arg);
        const char* suffix = at + 1;
        uint64_t value;
        bool sign = *suffix == '+' || *suffix == '-';
        if (parse_hex(suffix + sign, &value) && (sign || raw_name(name))) {
            input->path = name;
            input->shift = *suffix == '-' ? -(int64_t)value : (int64_t)value;
        } else if ((sign || raw_name(name)) && hex_digits_only(suffix + sign) && !file_exists(arg)) {
            out_error("%s: the %s %s is past ffffffff\n", arg, sign ? "shift" : "address", suffix + sign);
            out_exit(FailCode);
        }
    }
    input->kind = raw_name(input->path) ? INPUT_RAW
        : elf_input(input->path)                          ? INPUT_ELF
                                                          : INPUT_RECORDS;
    return true;
}

// -F<BYTE>, -F<BYTE>:large and -R<FIRST>-<LAST>, as -i prints them.
bool parse_fill_and_crop(ImageRuns* image)
{
    uint64_t value;
    if (option_given('F')) {
        const char* text = OptionTable[(int)'F'];
        const char* large = strstr(text, ":large");
        std::string byte(text, large && !large[6] ? large - text : strlen(text));
        if (!parse_hex(byte.c_str(), &value) || value > 0xff) {
            out_error("-F%s: the fill byte is one or two hex digits, 00 to ff\n", text);
            return false;
        }
        image->fill = true;
        image->fill_byte = (unsigned char)value;
        image->fill_large = byte.size() < strlen(text);
    }
    if (option_given('R')) {
        const char* text = OptionTable[(int)'R'];
        const char* dash = strchr(text, '-');
        std::string first(text, dash ? dash - text : strlen(text));
        if (!dash || !parse_hex(first.c_str(), &image->first) || !parse_hex(dash + 1, &image->last)
            || image->first > image->last) {
            out_error("-R%s: the range is FIRST-LAST in hex, FIRST not above LAST, "
                      "e.g. -R08000000-0801ffff\n",
                text);
            return false;
        }
        image->crop = true;
    }
    return true;
}

// Moves an input's runs by its shift; false, naming the input, when one
// would leave the 4 GiB.
static bool shift_runs(ImageRuns* image)
{
    for (Run& run : image->runs) {
        const Input& input = image->inputs[run.input];
        int64_t first = (int64_t)run.address + input.shift;
        int64_t end = first + (int64_t)run.n;
        if (first < 0 || end > (int64_t)ADDRESS_END) {
            out_error("%s: shifted by %s%llx, address %08llx would %s\n", input.path.c_str(),
                input.shift < 0 ? "-" : "+",
                (unsigned long long)(input.shift < 0 ? -input.shift : input.shift),
                (unsigned long long)(first < 0 ? run.address : run_end(run) - 1),
                first < 0 ? "fall below 0" : "pass ffffffff");
            return false;
        }
        run.address = (uint32_t)first;
    }
    return true;
}

// Bytes that two inputs both give are refused, each stretch named with
// both files in the order given, stretches that follow on from each other
// joined.
struct Overlap {
    uint32_t a, b; // the inputs, a before b
    uint64_t first, end;
};

static void print_overlap(const ImageRuns* image, const Overlap& o)
{
    out_error("%s and %s overlap at %08llx-%08llx\n", image->inputs[o.a].path.c_str(),
        image->inputs[o.b].path.c_str(), (unsigned long long)o.first,
        (unsigned long long)(o.end - 1));
}

static bool no_overlaps(const ImageRuns* image)
{
    uint64_t reach = 0;
    uint32_t reacher = 0;
    int found = 0;
    Overlap last {};
    for (const Run& run : image->runs) {
        uint64_t end = run_end(run);
        if (run.address < reach && run.input != reacher) {
            Overlap o { std::min(reacher, run.input), std::max(reacher, run.input), run.address,
                std::min(reach, end) };
            if (found && o.a == last.a && o.b == last.b && o.first == last.end) {
                last.end = o.end;
            } else {
                if (found && found <= 64) print_overlap(image, last);
                last = o;
                found++;
            }
        }
        if (end > reach) {
            reach = end;
            reacher = run.input;
        }
    }
    if (found && found <= 64) print_overlap(image, last);
    return found == 0;
}

// The first input's start address that has one, shifted with it; another
// that differs is named once. Only the kept one must stay inside the 4 GiB
// when shifted.
static bool settle_start(ImageRuns* image)
{
    const Input* chosen = nullptr;
    bool warned = false;
    for (Input& input : image->inputs) {
        if (input.start_kind == START_NONE) continue;
        int64_t start = (int64_t)linear_start(input.start_kind, input.start) + input.shift;
        bool outside = start < 0 || start >= (int64_t)ADDRESS_END;
        if (outside && !chosen) {
            out_error("%s: shifted by %s%llx, its start address %08x would %s\n",
                input.path.c_str(), input.shift < 0 ? "-" : "+",
                (unsigned long long)(input.shift < 0 ? -input.shift : input.shift),
                linear_start(input.start_kind, input.start),
                start < 0 ? "fall below 0" : "pass ffffffff");
            return false;
        }
        if (input.shift && !outside) {
            input.start_kind = START_LINEAR;
            input.start = (uint32_t)start;
        }
        if (!chosen) {
            chosen = &input;
            image->start_kind = input.start_kind;
            image->start = input.start;
        } else if (!warned
            && (outside
                || linear_start(input.start_kind, input.start)
                    != linear_start(chosen->start_kind, chosen->start))) {
            out_error("WARNING:%s and %s give different start addresses; %s's is kept\n",
                chosen->path.c_str(), input.path.c_str(), chosen->path.c_str());
            warned = true;
        }
    }
    return true;
}

// Once the first pass is done: the runs shifted, in address order, apart.
bool settle_image(ImageRuns* image, bool sound)
{
    if (!sound || !shift_runs(image)) return false;
    std::sort(image->runs.begin(), image->runs.end(),
        [](const Run& a, const Run& b) { return a.address < b.address; });
    return no_overlaps(image) && settle_start(image);
}

// Without -F the image runs from its lowest to its highest byte inside the
// crop range; with -F a crop range is filled whole.
static bool data_bounds(const ImageRuns* image, uint64_t* low, uint64_t* high)
{
    uint64_t first = image->crop ? image->first : 0;
    uint64_t last = image->crop ? image->last : ADDRESS_END - 1;
    if (image->crop && image->fill) {
        *low = first;
        *high = last;
        return true;
    }
    bool any = false;
    for (const Run& run : image->runs) {
        uint64_t a = std::max<uint64_t>(run.address, first), b = std::min(run_end(run) - 1, last);
        if (a > b) continue;
        if (!any) *low = a;
        *high = b;
        any = true;
    }
    if (!image->stored.empty()) {
        uint64_t a = image->stored.begin()->first, b = image->stored.rbegin()->first;
        *low = any ? std::min(*low, a) : a;
        *high = any ? std::max(*high, b) : b;
        any = true;
    }
    return any;
}

bool image_empty(const ImageRuns* image)
{
    uint64_t low, high;
    return !data_bounds(image, &low, &high);
}

uint64_t image_low(const ImageRuns* image)
{
    uint64_t low = 0, high = 0;
    data_bounds(image, &low, &high);
    return low;
}

uint64_t image_high(const ImageRuns* image)
{
    uint64_t low = 0, high = 0;
    data_bounds(image, &low, &high);
    return high;
}

void cursor_start(Cursor* cursor, const ImageRuns* image)
{
    cursor->image = image;
    cursor->run = 0;
    cursor->reading = false;
    cursor->done = !data_bounds(image, &cursor->next, &cursor->last);
    cursor->holding = false;
    cursor->stored_from = cursor->next;
}

void cursor_start_range(Cursor* cursor, const ImageRuns* image, uint64_t first, uint64_t last)
{
    cursor_start(cursor, image);
    cursor->next = cursor->stored_from = std::max(cursor->next, first);
    cursor->last = std::min(cursor->last, last);
    cursor->done = cursor->done || cursor->next > cursor->last;
}

static bool data_next(Cursor* c, Piece* piece)
{
    const ImageRuns* image = c->image;
    const std::vector<Run>& runs = image->runs;
    uint64_t end = c->last + 1;
    while (!c->done && c->next < end) {
        while (c->run < runs.size() && run_end(runs[c->run]) <= c->next) {
            c->run++;
            c->reading = false;
        }
        uint64_t start = c->run < runs.size() ? std::min<uint64_t>(runs[c->run].address, end) : end;
        if (c->next < start) {
            c->next = start; // a gap: the writers fill it
            continue;
        }
        if (!c->reading) {
            reader_start(&c->reader, image, c->run, c->next);
            c->reading = true;
        }
        Piece p;
        if (!reader_piece(&c->reader, image, &p)) {
            c->run++;
            c->reading = false;
            continue;
        }
        uint64_t first = std::max(p.address, c->next), stop = std::min(p.address + p.n, end);
        if (first >= stop) continue;
        uint32_t skip = (uint32_t)(first - p.address);
        *piece = Piece { first, p.data + skip, (uint32_t)(stop - first), p.from_line, p.line,
            p.column + 2 * skip, p.checksum_column };
        c->next = stop;
        return true;
    }
    return false;
}

// Stored bytes from it on that follow on from each other, below stop.
static uint32_t take_stored(Cursor* c, std::map<uint32_t, unsigned char>::const_iterator it,
    uint64_t stop)
{
    const std::map<uint32_t, unsigned char>& stored = c->image->stored;
    uint64_t first = it->first;
    uint32_t n = 0;
    for (; it != stored.end() && it->first == first + n && first + n < stop && n < sizeof c->stored_bytes;
         ++it)
        c->stored_bytes[n++] = it->second;
    c->stored_from = first + n;
    return n;
}

// The data with the stored values over them: a value's bytes replace the
// data under them, or go out on their own in a gap.
bool cursor_next(Cursor* c, Piece* piece)
{
    const std::map<uint32_t, unsigned char>& stored = c->image->stored;
    if (stored.empty()) return data_next(c, piece);
    if (!c->holding) c->holding = data_next(c, &c->held);
    auto it = stored.lower_bound((uint32_t)std::min<uint64_t>(c->stored_from, UINT32_MAX));
    bool due = it != stored.end() && it->first >= c->stored_from && it->first <= c->last;
    uint64_t data_at = c->holding ? c->held.address : UINT64_MAX;
    if (due && it->first < data_at) {
        uint64_t first = it->first;
        *piece = Piece { first, c->stored_bytes, take_stored(c, it, std::min(data_at, c->last + 1)),
            false, 0, 0, 0 };
        return true;
    }
    if (!c->holding) return false;
    Piece& held = c->held;
    uint64_t end = held.address + held.n;
    uint32_t n = held.n;
    if (due && it->first < end && it->first > held.address) n = (uint32_t)(it->first - held.address);
    if (due && it->first == held.address) {
        *piece = Piece { held.address, c->stored_bytes, take_stored(c, it, end), false, 0, 0, 0 };
        n = piece->n;
    } else {
        *piece = held;
        piece->n = n;
        c->stored_from = held.address + n;
    }
    held.address += n;
    held.data += n;
    held.column += 2 * n;
    held.n -= n;
    c->holding = held.n > 0;
    return true;
}

void cursor_end(Cursor* cursor)
{
    reader_close(&cursor->reader);
}
