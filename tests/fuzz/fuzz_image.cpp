// -x with up to three inputs (raw images placed, Intel HEX files whose
// records come in any order, each shifted), -F and -R, against a byte map
// of the image kept here: overlaps and addresses shifted below 0 are
// refused without an output, every other image comes out byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fuzz_exit.h"
#include "fuzz_files.h"
#include "convert.h"
#include "options.h"
#include "output.h"

static const std::string Folder = "fuzz_image_" + std::to_string(getpid());

static std::string file_name(const std::string& name)
{
    return Folder + "/" + name;
}

// The fuzz input, read a byte at a time; zeros once it is used up.
struct Bytes {
    const uint8_t* data;
    size_t size, at;
};

static unsigned next(Bytes* b)
{
    return b->at < b->size ? b->data[b->at++] : 0;
}

static unsigned next16(Bytes* b)
{
    unsigned high = next(b);
    return high << 8 | next(b);
}

static std::string hex_record(unsigned type, uint32_t address, const uint8_t* data, unsigned n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::vector<uint8_t> body = { (uint8_t)n, (uint8_t)(address >> 8), (uint8_t)address, (uint8_t)type };
    body.insert(body.end(), data, data + n);
    unsigned sum = 0;
    for (uint8_t byte : body)
        sum += byte;
    body.push_back((uint8_t)(0u - sum));
    std::string line = ":";
    for (uint8_t byte : body) {
        line += digits[byte >> 4];
        line += digits[byte & 15];
    }
    return line + "\n";
}

// n bytes at address as records of 1 to 32 bytes, in an order the input
// chooses, each after its type 04 record.
static std::string hex_file(Bytes* b, uint32_t address, const std::vector<uint8_t>& data)
{
    std::vector<std::pair<uint32_t, uint32_t>> pieces; // offset, length
    for (uint32_t at = 0; at < data.size();) {
        uint32_t n = 1 + next(b) % 32;
        if (n > data.size() - at) n = (uint32_t)(data.size() - at);
        // a record does not run across a 64 KiB boundary
        uint32_t room = 0x10000 - ((address + at) & 0xffff);
        if (n > room) n = room;
        pieces.push_back({ at, n });
        at += n;
    }
    for (size_t i = pieces.size(); i > 1; i--)
        std::swap(pieces[i - 1], pieces[next(b) % i]);
    std::string text;
    for (const auto& piece : pieces) {
        uint32_t a = address + piece.first;
        uint8_t upper[2] = { (uint8_t)(a >> 24), (uint8_t)(a >> 16) };
        text += hex_record(4, 0, upper, 2) + hex_record(0, a & 0xffff, &data[piece.first], piece.second);
    }
    return text + ":00000001FF\n";
}

static void write_file(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

// The bytes an Intel HEX output of -x holds.
static std::map<uint32_t, uint8_t> hex_bytes(const std::string& text)
{
    std::map<uint32_t, uint8_t> bytes;
    uint32_t upper = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end + 1;
        std::vector<uint8_t> body;
        for (size_t i = 1; i + 1 < line.size(); i += 2)
            body.push_back((uint8_t)strtoul(line.substr(i, 2).c_str(), nullptr, 16));
        if (body.size() < 5) abort();
        if (body[3] == 4) upper = (uint32_t)(body[4] << 8 | body[5]) << 16;
        if (body[3] != 0) continue;
        for (unsigned i = 0; i < body[0]; i++)
            bytes[upper + (body[1] << 8 | body[2]) + i] = body[4 + i];
    }
    return bytes;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FILE* null_out = fopen("/dev/null", "wb");
    static int made = mkdir(Folder.c_str(), 0700);
    (void)made;
    Bytes b { data, size, 0 };
    unsigned flags = next(&b);
    bool fill = flags & 1, crop = flags & 2, bin = flags & 4;
    unsigned fill_byte = next(&b);
    uint32_t first = next16(&b) << 4, last = first + (next16(&b) << 2);
    int count = 1 + (flags >> 3) % 3;

    // The inputs, and the image they make here.
    std::map<uint32_t, uint8_t> image;
    bool refused = false;
    static std::string args[4], fill_text, crop_text;
    static char* paths[4];
    for (int i = 0; i < count; i++) {
        bool raw = next(&b) & 1;
        int64_t shift = (int64_t)next16(&b) * 16 - 0x20000;
        uint32_t address = next16(&b) << 2;
        std::vector<uint8_t> bytes(1 + next(&b) * 2);
        for (uint8_t& byte : bytes)
            byte = (uint8_t)next(&b);
        std::string name = file_name(std::to_string(i) + (raw ? ".bin" : ".hex"));
        write_file(name, raw ? std::string(bytes.begin(), bytes.end()) : hex_file(&b, address, bytes));
        int64_t placed = (raw ? 0 : address) + shift;
        char suffix[32];
        const char* sign = shift < 0 ? "-" : raw && (flags & 0x40) ? "" : "+"; // a place, or a shift
        snprintf(suffix, sizeof suffix, "@%s%llx", sign, (unsigned long long)(shift < 0 ? -shift : shift));
        args[i] = name + suffix;
        for (size_t k = 0; k < bytes.size(); k++) {
            if (placed + (int64_t)k < 0) {
                refused = true;
                continue;
            }
            refused = !image.emplace((uint32_t)(placed + k), bytes[k]).second || refused;
        }
    }
    // The image cut to -R and filled by -F; a .bin fills its gaps with ff.
    std::map<uint32_t, uint8_t> expected;
    for (const auto& byte : image)
        if (!crop || (byte.first >= first && byte.first <= last)) expected.insert(byte);
    uint64_t low = crop && fill ? first : expected.empty() ? 1 : expected.begin()->first;
    uint64_t high = crop && fill ? last : expected.empty() ? 0 : expected.rbegin()->first;
    if (bin && (low > high || high - low + 1 > (1 << 20))) refused = true;
    for (uint64_t a = low; !refused && (fill || bin) && a <= high; a++)
        expected.emplace((uint32_t)a, fill ? fill_byte : 0xff);

    std::string out = file_name(bin ? "out.bin" : "out.hex");
    args[count] = out;
    for (int i = 0; i <= count; i++)
        paths[i] = &args[i][0];
    remove(out.c_str());
    memset(OptionTable, 0, sizeof OptionTable);
    char fill_digits[4];
    snprintf(fill_digits, sizeof fill_digits, "%x", fill_byte);
    fill_text = fill_digits;
    char range[32];
    snprintf(range, sizeof range, "%x-%x", first, last);
    crop_text = range;
    if (fill) OptionTable[(int)'F'] = fill_text.c_str();
    if (crop) OptionTable[(int)'R'] = crop_text.c_str();
    Paths = paths;
    PathCount = count + 1;
    BinLimit = 1 << 20;
    out_set_stream(null_out);
    int rc = 1;
    if (setjmp(FuzzExit) == 0) {
        FuzzExitArmed = true;
        rc = convert_file();
        FuzzExitArmed = false;
    } else {
        abort(); // readable inputs, a writable output: no fatal path
    }
    if (refused) {
        if (rc != 1 || read_all(out) != "(none)") abort();
        return 0;
    }
    if (rc != 0) abort();
    std::string written = read_all(out);
    if (bin) {
        std::string want;
        for (const auto& byte : expected)
            want += (char)byte.second;
        if (written != want) abort();
    } else if (hex_bytes(written) != expected) {
        abort();
    }
    return 0;
}
