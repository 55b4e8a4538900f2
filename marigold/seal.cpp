// -K: each step computes its value over the image as -x would write it
// (places, -R and -F applied, the values of the steps before it stored),
// then prints it, checks it against the value stored at an address, stores
// it there, or identifies the algorithm of a stored value. Gaps inside the
// range are -F's byte; without -F a gap is refused, named.
#include "seal.h"
#include "image/checksums.h"
#include "image/first_pass.h"
#include "image/runs.h"
#include "options.h"
#include "output.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

typedef void (*BytesFn)(void* context, uint64_t address, const unsigned char* data, size_t n);

struct Walk {
    const ImageRuns* image;
    const char* arg; // named in a message; null: quiet
    uint64_t slot, slot_end; // a gap there is no gap: the value will fill it
    uint64_t filled; // gap bytes that -F's byte filled
    BytesFn fn;
    void* context;
};

// The bytes -F writes into a gap, or, without -F, the gap refused.
static bool fill_gap(Walk* w, uint64_t first, uint64_t end)
{
    static unsigned char block[1 << 16];
    bool own_slot = first >= w->slot && end <= w->slot_end;
    if (!w->image->fill && !own_slot) {
        if (w->arg)
            out_error("-K%s: no data at %08llx-%08llx inside the range; -F<byte> fills gaps\n",
                w->arg, (unsigned long long)first, (unsigned long long)(end - 1));
        return false;
    }
    memset(block, w->image->fill ? w->image->fill_byte : 0xff, sizeof block);
    if (!own_slot) w->filled += end - first;
    for (uint64_t at = first; at < end; at += sizeof block)
        w->fn(w->context, at, block, (size_t)std::min<uint64_t>(end - at, sizeof block));
    return true;
}

// The image's bytes first..last to w->fn in address order.
static bool walk_range(Walk* w, uint64_t first, uint64_t last)
{
    Cursor cursor {};
    cursor_start_range(&cursor, w->image, first, last);
    uint64_t next = first;
    Piece piece;
    bool ok = true;
    while (ok && next <= last) {
        bool more = cursor_next(&cursor, &piece);
        uint64_t at = more ? piece.address : last + 1;
        if (at > next) ok = fill_gap(w, next, at);
        if (!more) break;
        if (ok) w->fn(w->context, piece.address, piece.data, piece.n);
        next = piece.address + piece.n;
    }
    cursor_end(&cursor);
    return ok;
}

static void collect_bytes(void* context, uint64_t, const unsigned char* data, size_t n)
{
    std::vector<unsigned char>* bytes = (std::vector<unsigned char>*)context;
    bytes->insert(bytes->end(), data, data + n);
}

static bool read_bytes(const ImageRuns* image, uint64_t first, uint64_t last, const char* arg,
    std::vector<unsigned char>* bytes)
{
    Walk w { image, arg, 0, 0, 0, collect_bytes, bytes };
    return walk_range(&w, first, last);
}

// A value's own bytes, where they lie inside its range, count as its rule
// says: -F's byte (ff without -F), or zero.
struct Feed {
    ChecksumState state;
    const ChecksumStep* sum_step;
    unsigned char fill;
};

static void feed_masked(void* context, uint64_t address, const unsigned char* data, size_t n)
{
    Feed* f = (Feed*)context;
    uint64_t slot = f->sum_step->address, slot_end = slot + checksum_bytes(&f->sum_step->algorithm);
    if (!f->sum_step->has_address || slot >= address + n || slot_end <= address) {
        checksum_feed(&f->state, data, n);
        return;
    }
    uint64_t a = std::max(slot, address), b = std::min(slot_end, address + n);
    unsigned char own[4];
    memcpy(own, data + (a - address), (size_t)(b - a));
    mask_stored_value(f->sum_step, a, own, (size_t)(b - a), f->fill);
    checksum_feed(&f->state, data, (size_t)(a - address));
    checksum_feed(&f->state, own, (size_t)(b - a));
    checksum_feed(&f->state, data + (b - address), (size_t)(address + n - b));
}

static unsigned char self_fill(const ImageRuns* image)
{
    return image->fill ? image->fill_byte : 0xff;
}

// The range a step covers: the one it names, else the image as it stands
// (a value of fixed length: its first bytes), less the value's own bytes
// where they end or begin the image: so a value stored just after the data
// checks equal later. The range may not pass the image.
static bool step_range(const ImageRuns* image, const ChecksumStep* sum_step, const char* arg,
    uint64_t* first, uint64_t* last)
{
    if (image_empty(image)) {
        out_error("-K%s: the image holds no data\n", arg);
        return false;
    }
    uint64_t low = image_low(image), high = image_high(image);
    uint32_t length = sum_step->identify ? 0 : sum_step->algorithm.length;
    *first = sum_step->has_range ? sum_step->first : low;
    *last = sum_step->has_range ? sum_step->last : length ? low + length - 1 : high;
    uint64_t slot = sum_step->address, slot_end = slot + (sum_step->identify ? 4 : checksum_bytes(&sum_step->algorithm));
    if (!sum_step->has_range && !length && sum_step->has_address) {
        if (slot > low && slot <= high && slot_end > high) *last = slot - 1;
        if (slot <= low && slot_end > low && slot_end <= high) *first = slot_end;
    }
    if (*first >= low && *last <= high) return true;
    out_error("-K%s: the range %08llx-%08llx passes the image %08llx-%08llx; -R with -F makes the "
              "image cover it\n",
        arg, (unsigned long long)*first, (unsigned long long)*last, (unsigned long long)low,
        (unsigned long long)high);
    return false;
}

static std::string hex8(uint64_t value)
{
    char text[20];
    snprintf(text, sizeof text, "%08llx", (unsigned long long)value);
    return text;
}

// What a step covered, on standard error, so that the value's line on
// standard output stays as scripts read it.
static std::string coverage(const Walk* w, const ChecksumStep* sum_step, uint64_t first, uint64_t last,
    int padded)
{
    std::string text = "over " + hex8(first) + "-" + hex8(last);
    char part[120];
    if (w->filled) {
        snprintf(part, sizeof part, ", %llu gap bytes filled with %02x",
            (unsigned long long)w->filled, w->image->fill_byte);
        text += part;
    }
    if (padded) {
        snprintf(part, sizeof part, ", its last %d-byte unit padded with %d zero bytes",
            sum_step->algorithm.unit, padded);
        text += part;
    }
    int n = checksum_bytes(&sum_step->algorithm);
    if (sum_step->has_address && sum_step->address <= last && sum_step->address + n > first) {
        bool zero = sum_step->algorithm.self_rule == SELF_ZERO;
        snprintf(part, sizeof part, ", the value's own bytes counted as %02x",
            zero ? 0 : self_fill(w->image));
        text += part;
    }
    return text;
}

// The stored value's bytes, which must lie inside the image.
static bool stored_value(const ImageRuns* image, const ChecksumStep* sum_step, const char* arg, int n,
    std::vector<unsigned char>* bytes)
{
    uint64_t last = (uint64_t)sum_step->address + n - 1;
    if (image_empty(image) || sum_step->address < image_low(image) || last > image_high(image)) {
        out_error("-K%s: no value at %08x: it lies outside the image\n", arg, sum_step->address);
        return false;
    }
    return read_bytes(image, sum_step->address, last, arg, bytes);
}

static bool store_value(ImageRuns* image, const ChecksumStep* sum_step, const char* arg, uint32_t value)
{
    int n = checksum_bytes(&sum_step->algorithm);
    uint64_t last = (uint64_t)sum_step->address + n - 1;
    if (image->crop && (sum_step->address < image->first || last > image->last)) {
        out_error("-K%s: the value at %08x-%08llx lies outside -R%s\n", arg, sum_step->address,
            (unsigned long long)last, OptionTable[(int)'R']);
        return false;
    }
    unsigned char bytes[4];
    store_checksum(&sum_step->algorithm, value, sum_step->big_endian, bytes);
    for (int i = 0; i < n; i++)
        image->stored[sum_step->address + i] = bytes[i];
    return true;
}

static SealResult check_value(const ImageRuns* image, const ChecksumStep* sum_step, const char* arg,
    uint32_t value, const std::string& covered)
{
    std::vector<unsigned char> bytes;
    if (!stored_value(image, sum_step, arg, checksum_bytes(&sum_step->algorithm), &bytes)) return SEAL_ERROR;
    uint32_t stored = load_checksum(&sum_step->algorithm, bytes.data(), sum_step->big_endian);
    std::string shown = format_checksum(&sum_step->algorithm, stored);
    bool equal = stored == value;
    if (!equal)
        out_printf("%s@%08x%s\n", sum_step->algorithm.name, sum_step->address, shown.c_str() + shown.find('='));
    out_error("-K%s: %s; %s the value at %08x\n", arg, covered.c_str(),
        equal ? "equals" : "differs from", sum_step->address);
    return equal ? SEAL_EQUAL : SEAL_DIFFERS;
}

// The candidate ranges of -K?: the one named, else the whole image, the
// image below the value, the image after a 4-byte value, and the image's
// first stretch of data.
static std::vector<ChecksumRange> candidate_ranges(const ImageRuns* image, const ChecksumStep* sum_step)
{
    std::vector<ChecksumRange> ranges;
    if (sum_step->has_range) return { ChecksumRange { sum_step->first, sum_step->last } };
    uint32_t low = (uint32_t)image_low(image), high = (uint32_t)image_high(image);
    auto add = [&](uint64_t first, uint64_t last) {
        if (first > last || first < low || last > high) return;
        for (const ChecksumRange& r : ranges)
            if (r.first == first && r.last == last) return;
        ranges.push_back(ChecksumRange { (uint32_t)first, (uint32_t)last });
    };
    add(low, high);
    if (sum_step->address > low) add(low, (uint64_t)sum_step->address - 1);
    add((uint64_t)sum_step->address + 4, high);
    Cursor cursor {};
    cursor_start(&cursor, image);
    Piece piece;
    uint64_t end = low;
    while (cursor_next(&cursor, &piece) && piece.address == end)
        end = piece.address + piece.n;
    cursor_end(&cursor);
    if (end > low) add(low, end - 1);
    return ranges;
}

static bool identify_range_bytes(void* context, ChecksumRange range, std::vector<unsigned char>* bytes)
{
    bytes->clear();
    return read_bytes((const ImageRuns*)context, range.first, range.last, nullptr, bytes);
}

static SealResult identify(const ImageRuns* image, const ChecksumStep* sum_step, const char* arg)
{
    if (image_empty(image)) {
        out_error("-K%s: the image holds no data\n", arg);
        return SEAL_ERROR;
    }
    IdentifyRequest request {};
    request.ranges = candidate_ranges(image, sum_step);
    request.address = sum_step->address;
    // A value at the image's very end may be shorter than 4 bytes.
    uint64_t room = sum_step->address <= image_high(image) ? image_high(image) - sum_step->address + 1 : 1;
    request.stored_n = (int)std::min<uint64_t>(4, room);
    std::vector<unsigned char> stored;
    if (!stored_value(image, sum_step, arg, request.stored_n, &stored)) return SEAL_ERROR;
    memcpy(request.stored, stored.data(), stored.size());
    request.fill = self_fill(image);
    request.little = !sum_step->order_given;
    request.big = true;
    request.range_bytes = identify_range_bytes;
    request.context = (void*)image;
    std::vector<ChecksumMatch> matches = identify_checksum(&request);
    int shown = 0;
    for (const ChecksumMatch& m : matches) {
        if (m.big_endian && checksum_bytes(m.algorithm) == 1 && request.little) continue;
        out_printf("%s:%08x-%08x@%08x%s\n", m.algorithm->name, m.range.first, m.range.last,
            sum_step->address, m.big_endian ? "/be" : "");
        shown++;
    }
    std::string tried;
    for (const ChecksumRange& r : request.ranges)
        tried += (tried.empty() ? "" : ", ") + hex8(r.first) + "-" + hex8(r.last);
    out_error("-K%s: %d match%s over %s\n", arg, shown, shown == 1 ? "" : "es", tried.c_str());
    return shown ? SEAL_EQUAL : SEAL_DIFFERS;
}

static SealResult run_step(ImageRuns* image, const char* arg, bool store)
{
    ChecksumStep sum_step;
    std::string error;
    parse_checksum_step(arg, &sum_step, &error); // checked before the inputs were read
    if (sum_step.identify) return identify(image, &sum_step, arg);
    uint64_t first, last;
    if (!step_range(image, &sum_step, arg, &first, &last)) return SEAL_ERROR;
    Feed feed;
    feed.sum_step = &sum_step;
    feed.fill = self_fill(image);
    checksum_init(&feed.state, &sum_step.algorithm, sum_step.big_endian);
    bool storing = store && sum_step.has_address;
    uint64_t slot_end = storing ? (uint64_t)sum_step.address + checksum_bytes(&sum_step.algorithm) : 0;
    Walk w { image, arg, storing ? sum_step.address : 0, slot_end, 0, feed_masked, &feed };
    if (!walk_range(&w, first, last)) return SEAL_ERROR;
    int padded = 0;
    uint32_t value = checksum_final(&feed.state, &padded);
    out_printf("%s\n", format_checksum(&sum_step.algorithm, value).c_str());
    std::string covered = coverage(&w, &sum_step, first, last, padded);
    if (!sum_step.has_address) {
        out_error("-K%s: %s\n", arg, covered.c_str());
        return SEAL_EQUAL;
    }
    if (!store) return check_value(image, &sum_step, arg, value, covered);
    if (!store_value(image, &sum_step, arg, value)) return SEAL_ERROR;
    out_error("-K%s: %s; stored at %08x %s-endian\n", arg, covered.c_str(), sum_step.address,
        sum_step.big_endian ? "big" : "little");
    return SEAL_EQUAL;
}

bool seal_arguments_valid()
{
    for (const char* arg : ChecksumOptions) {
        ChecksumStep sum_step;
        std::string error;
        if (!parse_checksum_step(arg, &sum_step, &error)) {
            out_error("%s\n", error.c_str());
            return false;
        }
    }
    return true;
}

SealResult seal_image(ImageRuns* image, bool store)
{
    SealResult result = SEAL_EQUAL;
    for (const char* arg : ChecksumOptions) {
        SealResult step = run_step(image, arg, store);
        if (step == SEAL_ERROR) return step;
        result = std::max(result, step);
    }
    return result;
}

// Without -x every path is an input, merged as -x merges them.
int checksum_file()
{
    FailCode = SEAL_ERROR;
    ImageRuns image {};
    if (!seal_arguments_valid() || !parse_fill_and_crop(&image)) return SEAL_ERROR;
    for (int i = 0; i < PathCount; i++) {
        image.inputs.push_back(Input {});
        parse_input(Paths[i], &image.inputs.back());
    }
    if (!read_inputs(&image)) return SEAL_ERROR;
    return seal_image(&image, false);
}
