// The ELF reader: header, program header table and the PT_LOAD segments,
// each field read at its offset in the file's byte order, every offset and
// size checked against the buffer before it is used.
#include "elf.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

enum {
    EI_CLASS = 4,
    EI_DATA = 5,
    CLASS32 = 1,
    CLASS64 = 2,
    DATA_LE = 1,
    DATA_BE = 2,
    PT_LOAD = 1,
    PN_XNUM = 0xffff,
};

// Where the fields stand in the 32- and 64-bit layouts.
struct ElfLayout {
    size_t header_size, entry, phoff, phentsize, phnum;
    size_t ph_size, p_type, p_offset, p_vaddr, p_paddr, p_filesz, p_memsz;
    int word; // bytes of an address or offset
};
static const ElfLayout Layout32 = { 52, 24, 28, 42, 44, 32, 0, 4, 8, 12, 16, 20, 4 };
static const ElfLayout Layout64 = { 64, 24, 32, 54, 56, 56, 0, 8, 16, 24, 32, 40, 8 };

struct ElfReader {
    const unsigned char* data;
    size_t n;
    bool big;
    const ElfLayout* layout;
};

static uint64_t field(const ElfReader* r, size_t at, int bytes)
{
    uint64_t value = 0;
    for (int i = 0; i < bytes; i++)
        value |= (uint64_t)r->data[at + (r->big ? bytes - 1 - i : i)] << 8 * i;
    return value;
}

static uint64_t word(const ElfReader* r, size_t at)
{
    return field(r, at, r->layout->word);
}

bool is_elf(const unsigned char* data, size_t n)
{
    return n >= 4 && memcmp(data, "\x7f" "ELF", 4) == 0;
}

static bool fail(std::string* error, const char* format, ...) __attribute__((format(printf, 2, 3)));

static bool fail(std::string* error, const char* format, ...)
{
    char text[200];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    *error = text;
    return false;
}

static bool read_ident(ElfReader* r, std::string* error)
{
    if (!is_elf(r->data, r->n)) return fail(error, "not an ELF file: no ELF magic");
    if (r->n < 16) return fail(error, "truncated ELF header: %u of 16 identification bytes", (unsigned)r->n);
    unsigned cls = r->data[EI_CLASS], data = r->data[EI_DATA];
    if (cls != CLASS32 && cls != CLASS64)
        return fail(error, "bad ELF class byte %02x (01: 32-bit, 02: 64-bit)", cls);
    if (data != DATA_LE && data != DATA_BE)
        return fail(error, "bad ELF data byte %02x (01: little-endian, 02: big-endian)", data);
    r->big = data == DATA_BE;
    r->layout = cls == CLASS64 ? &Layout64 : &Layout32;
    if (r->n < r->layout->header_size)
        return fail(error, "truncated ELF header: %u of %u bytes", (unsigned)r->n,
            (unsigned)r->layout->header_size);
    return true;
}

// One PT_LOAD entry, checked; false after saying what is wrong.
static bool read_segment(const ElfReader* r, size_t at, int index, ElfSegment* segment,
    std::string* error)
{
    const ElfLayout* l = r->layout;
    uint64_t load = word(r, at + l->p_paddr), filesz = word(r, at + l->p_filesz);
    segment->index = index;
    segment->run = word(r, at + l->p_vaddr);
    segment->offset = word(r, at + l->p_offset);
    segment->memory = word(r, at + l->p_memsz);
    if (filesz > segment->memory)
        return fail(error, "segment %d: file size %llu exceeds its memory size %llu", index,
            (unsigned long long)filesz, (unsigned long long)segment->memory);
    if (segment->offset > r->n || filesz > r->n - segment->offset)
        return fail(error, "segment %d: its data (offset %llx, %llu bytes) pass the end of the file (%llu bytes)",
            index, (unsigned long long)segment->offset, (unsigned long long)filesz,
            (unsigned long long)r->n);
    if (load > 0xffffffff)
        return fail(error, "segment %d: load address %llx lies above 4 GiB", index,
            (unsigned long long)load);
    if (load + filesz > 0x100000000)
        return fail(error, "segment %d: load address %08llx and %llu bytes pass ffffffff", index,
            (unsigned long long)load, (unsigned long long)filesz);
    segment->load = (uint32_t)load;
    segment->size = (uint32_t)filesz;
    return true;
}

static bool read_segments(const ElfReader* r, ElfImage* elf, std::string* error)
{
    const ElfLayout* l = r->layout;
    uint64_t phoff = word(r, l->phoff);
    uint64_t entsize = field(r, l->phentsize, 2), count = field(r, l->phnum, 2);
    if (count == PN_XNUM) return fail(error, "more than 65534 program headers: not supported");
    if (count > 0 && entsize < l->ph_size)
        return fail(error, "program header entries of %llu bytes, fewer than %u",
            (unsigned long long)entsize, (unsigned)l->ph_size);
    if (phoff > r->n || entsize * count > r->n - phoff)
        return fail(error, "truncated program header table: %llu entries of %llu bytes at offset %llx, the file holds %llu bytes",
            (unsigned long long)count, (unsigned long long)entsize, (unsigned long long)phoff,
            (unsigned long long)r->n);
    for (uint64_t i = 0; i < count; i++) {
        size_t at = (size_t)(phoff + i * entsize);
        if (field(r, at + l->p_type, 4) != PT_LOAD || word(r, at + l->p_filesz) == 0) continue;
        ElfSegment segment {};
        if (!read_segment(r, at, (int)i, &segment, error)) return false;
        elf->segments.push_back(segment);
    }
    return true;
}

static bool check_overlaps(const ElfImage* elf, std::string* error)
{
    for (size_t i = 1; i < elf->segments.size(); i++) {
        const ElfSegment &a = elf->segments[i - 1], &b = elf->segments[i];
        uint64_t a_end = (uint64_t)a.load + a.size;
        if (b.load < a_end)
            return fail(error, "segments %d and %d overlap at load addresses %08x-%08llx",
                a.index, b.index, (unsigned)b.load,
                (unsigned long long)std::min(a_end, (uint64_t)b.load + b.size) - 1);
    }
    return true;
}

bool read_elf(const unsigned char* data, size_t n, ElfImage* elf, std::string* error)
{
    *elf = ElfImage {};
    ElfReader r { data, n, false, nullptr };
    if (!read_ident(&r, error)) return false;
    elf->is64 = r.layout == &Layout64;
    elf->big_endian = r.big;
    elf->machine = (uint16_t)field(&r, 18, 2);
    uint64_t entry = word(&r, r.layout->entry);
    if (entry > 0xffffffff)
        return fail(error, "entry point %llx lies above 4 GiB", (unsigned long long)entry);
    elf->entry = (uint32_t)entry;
    if (!read_segments(&r, elf, error)) return false;
    if (elf->segments.empty()) return fail(error, "no loadable segment with data (PT_LOAD, file size above 0)");
    std::sort(elf->segments.begin(), elf->segments.end(),
        [](const ElfSegment& a, const ElfSegment& b) { return a.load < b.load; });
    return check_overlaps(elf, error);
}
