#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "capture.h"
#include "image/elf.h"

typedef std::vector<unsigned char> Bytes;

static void put(Bytes* buf, size_t at, uint64_t value, int bytes, bool big)
{
    for (int i = 0; i < bytes; i++)
        (*buf)[at + (big ? bytes - 1 - i : i)] = (unsigned char)(value >> 8 * i);
}

struct SegmentSpec {
    uint32_t type;
    uint64_t load, run;
    Bytes data;
    uint64_t memory; // p_memsz
};

// Program header fields: type, offset, vaddr, paddr, filesz, memsz.
static const size_t Ph32[] = { 0, 4, 8, 12, 16, 20 }, Ph64[] = { 0, 8, 16, 24, 32, 40 };

// An ELF with its program header table after the header and the segments'
// data after that, in the order given.
static Bytes make_elf(bool is64, bool big, uint64_t entry, const std::vector<SegmentSpec>& segments)
{
    size_t header = is64 ? 64 : 52, entry_size = is64 ? 56 : 32, w = is64 ? 8 : 4;
    size_t offset = header + entry_size * segments.size(), total = offset;
    for (const SegmentSpec& s : segments)
        total += s.data.size();
    Bytes elf(total);
    memcpy(elf.data(), "\x7f" "ELF", 4);
    elf[4] = is64 ? 2 : 1;
    elf[5] = big ? 2 : 1;
    elf[6] = 1;
    put(&elf, 16, 2, 2, big);
    put(&elf, 18, is64 ? 62 : 40, 2, big);
    put(&elf, 24, entry, (int)w, big);
    put(&elf, 24 + w, header, (int)w, big);
    put(&elf, header - 10, entry_size, 2, big);
    put(&elf, header - 8, segments.size(), 2, big);
    const size_t* f = is64 ? Ph64 : Ph32;
    for (size_t i = 0; i < segments.size(); i++) {
        const SegmentSpec& s = segments[i];
        size_t at = header + i * entry_size;
        uint64_t values[] = { s.type, offset, s.run, s.load, s.data.size(), s.memory };
        for (int k = 0; k < 6; k++)
            put(&elf, at + f[k], values[k], k == 0 ? 4 : (int)w, big);
        std::copy(s.data.begin(), s.data.end(), elf.begin() + offset);
        offset += s.data.size();
    }
    return elf;
}

static Bytes counting(size_t n, unsigned char from)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = (unsigned char)(from + i);
    return bytes;
}

TEST(Elf, ReadsLoadSegmentsInEveryClassAndByteOrder)
{
    for (int is64 = 0; is64 < 2; is64++) {
        for (int big = 0; big < 2; big++) {
            // .data after .text in the file, but loaded before it; then a
            // .bss-only PT_LOAD and a note, which give nothing
            Bytes elf = make_elf(is64, big, 0x08000101,
                { { 1, 0x08000400, 0x20000000, counting(8, 0x80), 0x40 },
                    { 1, 0x08000000, 0x08000000, counting(20, 1), 20 },
                    { 1, 0x20000040, 0x20000040, {}, 0x100 }, { 4, 0x0, 0x0, counting(4, 9), 4 } });
            ElfImage image;
            std::string error;
            ASSERT_TRUE(read_elf(elf.data(), elf.size(), &image, &error)) << error;
            EXPECT_EQ(image.is64, is64 != 0);
            EXPECT_EQ(image.big_endian, big != 0);
            EXPECT_EQ(image.machine, is64 ? 62 : 40);
            EXPECT_EQ(image.entry, 0x08000101u);
            ASSERT_EQ(image.segments.size(), 2u);
            const ElfSegment &text = image.segments[0], &data = image.segments[1];
            EXPECT_EQ(text.index, 1);
            EXPECT_EQ(text.load, 0x08000000u);
            EXPECT_EQ(text.size, 20u);
            EXPECT_EQ(Bytes(elf.begin() + text.offset, elf.begin() + text.offset + 20), counting(20, 1));
            EXPECT_EQ(data.index, 0);
            EXPECT_EQ(data.load, 0x08000400u);
            EXPECT_EQ(data.run, 0x20000000u);
            EXPECT_EQ(data.memory, 0x40u);
            EXPECT_EQ(Bytes(elf.begin() + data.offset, elf.begin() + data.offset + 8), counting(8, 0x80));
        }
    }
}

// The 32-bit little-endian ELF that the damage starts from: segment 0 at
// 08000000 (16 bytes), segment 1 loaded at 08000010 to run at 20000000 (8
// bytes of 20); header 52 bytes, table at 52, data at 116 and 132, 140 in all.
static Bytes sound_elf(bool is64)
{
    return make_elf(is64, false, 0x08000000,
        { { 1, 0x08000000, 0x08000000, counting(16, 0), 16 }, { 1, 0x08000010, 0x20000000, counting(8, 0x40), 0x20 } });
}

static void set_ph(Bytes* elf, int index, int field, uint64_t value, bool is64 = false)
{
    put(elf, (is64 ? 64 + 56 * index : 52 + 32 * index) + (is64 ? Ph64 : Ph32)[field], value,
        field == 0 ? 4 : is64 ? 8 : 4, false);
}

enum { P_TYPE, P_OFFSET, P_VADDR, P_PADDR, P_FILESZ, P_MEMSZ };

TEST(Elf, DamagedFilesAreRefusedSayingWhatIsWrong)
{
    struct Case {
        bool is64;
        void (*damage)(Bytes*);
        const char* message;
    };
    const Case cases[] = {
        { false, [](Bytes* e) { e->resize(30); }, "truncated ELF header: 30 of 52 bytes" },
        { true, [](Bytes* e) { e->resize(60); }, "truncated ELF header: 60 of 64 bytes" },
        { false, [](Bytes* e) { e->resize(10); }, "truncated ELF header: 10 of 16 identification bytes" },
        { false, [](Bytes* e) { (*e)[0] = 0; }, "not an ELF file: no ELF magic" },
        { false, [](Bytes* e) { (*e)[4] = 3; }, "bad ELF class byte 03 (01: 32-bit, 02: 64-bit)" },
        { false, [](Bytes* e) { (*e)[5] = 0; }, "bad ELF data byte 00 (01: little-endian, 02: big-endian)" },
        { false, [](Bytes* e) { e->resize(100); },
            "truncated program header table: 2 entries of 32 bytes at offset 34, the file holds 100 bytes" },
        { false, [](Bytes* e) { put(e, 28, 0xffffffff, 4, false); }, "truncated program header table" },
        { false, [](Bytes* e) { put(e, 44, 0xffff, 2, false); }, "more than 65534 program headers" },
        { false, [](Bytes* e) { put(e, 42, 20, 2, false); }, "program header entries of 20 bytes, fewer than 32" },
        { false, [](Bytes* e) { set_ph(e, 1, P_OFFSET, 136); },
            "segment 1: its data (offset 88, 8 bytes) pass the end of the file (140 bytes)" },
        { true, [](Bytes* e) { set_ph(e, 1, P_OFFSET, 0xfffffffffffffff8, true); },
            "segment 1: its data (offset fffffffffffffff8, 8 bytes) pass the end" },
        { false, [](Bytes* e) { set_ph(e, 1, P_FILESZ, 0x30); }, "segment 1: file size 48 exceeds its memory size 32" },
        { false, [](Bytes* e) { set_ph(e, 1, P_PADDR, 0x08000008); },
            "segments 0 and 1 overlap at load addresses 08000008-0800000f" },
        { false, [](Bytes* e) { set_ph(e, 0, P_PADDR, 0x08000014); },
            "segments 1 and 0 overlap at load addresses 08000014-08000017" },
        { false, [](Bytes* e) { set_ph(e, 1, P_PADDR, 0xfffffffc); },
            "segment 1: load address fffffffc and 8 bytes pass ffffffff" },
        { true, [](Bytes* e) { set_ph(e, 1, P_PADDR, 0x100000000, true); },
            "segment 1: load address 100000000 lies above 4 GiB" },
        { true, [](Bytes* e) { put(e, 24, 0x100000000, 8, false); }, "entry point 100000000 lies above 4 GiB" },
        { false, [](Bytes* e) { set_ph(e, 0, P_TYPE, 4), set_ph(e, 1, P_FILESZ, 0); },
            "no loadable segment with data (PT_LOAD, file size above 0)" },
    };
    for (const Case& c : cases) {
        Bytes elf = sound_elf(c.is64);
        ElfImage image;
        std::string error;
        ASSERT_TRUE(read_elf(elf.data(), elf.size(), &image, &error)) << error;
        c.damage(&elf);
        EXPECT_FALSE(read_elf(elf.data(), elf.size(), &image, &error)) << c.message;
        EXPECT_NE(error.find(c.message), std::string::npos) << "wanted: " << c.message << "\ngot:    " << error;
    }
}

// ---- ELFs linked by real toolchains, against objcopy -O ihex

struct Toolchain {
    const char* prefix; // of as, ld and objcopy
};

static std::map<uint32_t, unsigned char> read_ihex(const std::string& text)
{
    std::map<uint32_t, unsigned char> bytes;
    uint32_t base = 0;
    size_t at = 0;
    while ((at = text.find(':', at)) != std::string::npos) {
        auto pair = [&](size_t i) { return (unsigned char)std::stoi(text.substr(at + 1 + 2 * i, 2), nullptr, 16); };
        int n = pair(0), type = pair(3);
        uint32_t address = pair(1) << 8 | pair(2);
        if (type == 0)
            for (int i = 0; i < n; i++)
                bytes[base + address + i] = pair(4 + i);
        if (type == 4) base = (uint32_t)(pair(4) << 24 | pair(5) << 16);
        if (type == 2) base = (uint32_t)(pair(4) << 12 | pair(5) << 4);
        at++;
    }
    return bytes;
}

class ElfToolchain : public testing::TestWithParam<Toolchain> { };

// .text and .rodata flashed and run at 08000000; .data flashed at 08001000
// to be copied to 20000000; .bss after it adds nothing.
static const char Source[] = ".section .text\n.global _start\n_start:\n.byte 1,2,3,4,5,6,7,8,9\n"
                             ".section .rodata\n.ascii \"read only\"\n"
                             ".section .data\n.byte 0xd0,0xd1,0xd2,0xd3,0xd4\n"
                             ".section .bss\n.space 64\n";
static const char Script[] = "ENTRY(_start)\nSECTIONS\n{\n  . = 0x08000000;\n"
                             "  .text : { *(.text*) *(.rodata*) }\n"
                             "  .data 0x20000000 : AT(0x08001000) { *(.data*) }\n"
                             "  .bss : { *(.bss*) }\n"
                             "  /DISCARD/ : { *(.note*) *(.comment) *(.ARM.attributes) }\n}\n";

TEST_P(ElfToolchain, LoadAddressesAndBytesEqualObjcopy)
{
    std::string prefix = GetParam().prefix;
    if (system(("command -v " + prefix + "ld >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << prefix << "ld is not installed";
    char dir_template[] = "/tmp/mg_elf_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string dir = dir_template;
    FILE* f = fopen((dir + "/prog.s").c_str(), "wb");
    fputs(Source, f);
    fclose(f);
    f = fopen((dir + "/prog.ld").c_str(), "wb");
    fputs(Script, f);
    fclose(f);
    std::string build = "cd " + dir + " && " + prefix + "as -o prog.o prog.s && " + prefix
        + "ld -T prog.ld -o prog.elf prog.o && " + prefix + "objcopy -O ihex prog.elf prog.hex";
    int built = system((build + " 2>err.txt").c_str());
    std::string file = read_file(dir + "/prog.elf"), errors = read_file(dir + "/err.txt");
    std::map<uint32_t, unsigned char> expected = read_ihex(read_file(dir + "/prog.hex"));
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
    ASSERT_EQ(built, 0) << errors;

    ElfImage image;
    std::string error;
    ASSERT_TRUE(read_elf((const unsigned char*)file.data(), file.size(), &image, &error)) << error;
    std::map<uint32_t, unsigned char> got;
    bool moved = false;
    for (const ElfSegment& s : image.segments) {
        for (uint32_t i = 0; i < s.size; i++)
            got[s.load + i] = (unsigned char)file[s.offset + i];
        moved |= s.load == 0x08001000 && s.run == 0x20000000;
    }
    EXPECT_TRUE(moved) << "no segment loaded at 08001000 to run at 20000000";
    EXPECT_EQ(image.entry, 0x08000000u);
    EXPECT_EQ(got.size(), 9u + 9u + 5u);
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Host, ElfToolchain, testing::Values(Toolchain { "" }, Toolchain { "arm-none-eabi-" }));
