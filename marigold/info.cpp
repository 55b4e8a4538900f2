// The -i mode: read a record file once, report its problems line by line,
// then say what it holds: format, records, address ranges, start address.
#include "info.h"
#include "image/elf.h"
#include "image/runs.h"
#include "options.h"
#include "output.h"
#include "records/lines.h"
#include "records/parser.h"
#include "records/ranges.h"

#include <cstring>
#include <string>
#include <vector>

RecordParser Info;

static char Block[1 << 16];

void info_reset()
{
    parser_reset(&Info, InputPath);
    ranges_clear();
}

void info_end_line()
{
    parser_end_line(&Info);
}

// Lines are handed over in place, a piece per block they lie in, so a line
// of any length costs no copy and no memory.
void info_scan(const char* block, size_t n)
{
    const char* p = block;
    const char* end = block + n;
    while (p < end) {
        const char* line_end = (const char*)memchr(p, '\n', end - p);
        if (!line_end) {
            parser_feed(&Info, p, end - p);
            break;
        }
        parser_feed(&Info, p, line_end - p);
        parser_end_line(&Info);
        p = line_end + 1;
        Info.line_offset = Info.scanned + (p - block);
    }
    Info.scanned += n;
}

void info_read(FILE* in)
{
    size_t n;
    while ((n = fread(Block, 1, sizeof Block, in)) > 0)
        info_scan(Block, n);
    info_end_line(); // a last line without a line feed; nothing when it is empty
}

static const char* format_name()
{
    if (Info.intel_seen && Info.srec_seen) return "mixed";
    if (Info.intel_seen) return "Intel HEX";
    if (Info.srec_seen) return "S-record";
    return "none";
}

static void print_start()
{
    out_str("start: ");
    if (Info.start_kind == START_NONE) {
        out_str("none");
    } else if (Info.start_kind == START_SEGMENT) {
        out_hex(Info.start >> 16, 4);
        out_str(":");
        out_hex(Info.start & 0xffff, 4);
    } else {
        out_hex(Info.start, 8);
    }
    out_newline();
}

void info_summary()
{
    parser_check_end(&Info);
    out_str("format: ");
    out_str(format_name());
    out_str("\nrecords: ");
    out_dec(Info.records);
    out_str(" (data ");
    out_dec(Info.data_records);
    out_str(")\ndata: ");
    out_dec(ranges_bytes());
    out_str(" bytes in ");
    out_dec(Ranges.size());
    out_str(" ranges\n");
    for (const auto& range : Ranges) {
        out_str("  ");
        out_hex(range.first, 8);
        out_str("-");
        out_hex((uint32_t)(range.second - 1), 8);
        out_str(" ");
        out_dec(range.second - range.first);
        out_str(" bytes\n");
    }
    print_start();
    out_str("problems: ");
    out_dec(Info.problems);
    out_newline();
}

static void print_address(uint64_t address)
{
    if (address > 0xffffffff) out_hex((uint32_t)(address >> 32), 8);
    out_hex((uint32_t)address, 8);
}

// -i on an ELF file: its loaded segments, load and run address and size,
// those copied to another address at run time marked.
static void print_elf(const ElfImage* elf)
{
    uint64_t bytes = 0;
    for (const ElfSegment& segment : elf->segments)
        bytes += segment.size;
    out_printf("format: ELF %d-bit %s-endian, machine %u\ndata: ", elf->is64 ? 64 : 32,
        elf->big_endian ? "big" : "little", (unsigned)elf->machine);
    out_dec(bytes);
    out_str(" bytes in ");
    out_dec(elf->segments.size());
    out_str(" segments\n");
    for (const ElfSegment& segment : elf->segments) {
        out_str("  ");
        out_hex(segment.load, 8);
        out_str("-");
        out_hex(segment.load + segment.size - 1, 8);
        out_str(" ");
        out_dec(segment.size);
        out_str(" bytes, run at ");
        print_address(segment.run);
        if (segment.memory > segment.size) {
            out_str(", ");
            out_dec(segment.memory);
            out_str(" bytes in memory");
        }
        if (segment.run != segment.load) out_str(" (load and run addresses differ)");
        out_newline();
    }
    out_str("start: ");
    out_hex(elf->entry, 8);
    out_str("\nproblems: 0\n");
}

static int info_elf()
{
    FILE* in = open_input();
    std::vector<unsigned char> data;
    unsigned char block[1 << 16];
    size_t n;
    while ((n = fread(block, 1, sizeof block, in)) > 0)
        data.insert(data.end(), block, block + n);
    close_input(in);
    ElfImage elf;
    std::string error;
    if (!read_elf(data.data(), data.size(), &elf, &error)) {
        out_error("%s: %s\n", InputPath, error.c_str());
        return 1;
    }
    print_elf(&elf);
    return 0;
}

int info_file()
{
    if (elf_input(InputPath)) return info_elf();
    FILE* in = open_input();
    info_reset();
    info_read(in);
    close_input(in);
    info_summary();
    return Info.problems ? 1 : 0;
}
