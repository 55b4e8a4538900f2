// ELF files as an image: the data of the loadable segments at their load
// (physical) addresses, read from a buffer that holds the whole file.
#ifndef MARIGOLD_ELF_H
#define MARIGOLD_ELF_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ElfSegment {
    int index; // in the program header table
    uint32_t load; // p_paddr: where the bytes are flashed
    uint64_t run; // p_vaddr: where the program uses them
    uint64_t offset; // p_offset: where the bytes stand in the file
    uint32_t size; // p_filesz
    uint64_t memory; // p_memsz: the size at run time, .bss included
};
struct ElfImage {
    bool is64, big_endian;
    uint16_t machine; // e_machine
    uint32_t entry; // e_entry: the start address
    std::vector<ElfSegment> segments; // PT_LOAD with data, by load address
};

bool is_elf(const unsigned char* data, size_t n); // starts with the ELF magic
// false with error set to what is wrong, in one line.
bool read_elf(const unsigned char* data, size_t n, ElfImage* elf, std::string* error);

#endif
