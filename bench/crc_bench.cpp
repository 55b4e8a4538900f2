// Times the checksum engine over a file held in memory: the best of a few
// passes, in MB/s (10^6 bytes a second), and the value it gave.
// Usage: crc_bench ALGORITHM FILE
#include "image/checksums.h"

#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: crc_bench ALGORITHM FILE\n");
        return 2;
    }
    ChecksumStep sum_step;
    std::string error;
    FILE* file = fopen(argv[2], "rb");
    if (!parse_checksum_step(argv[1], &sum_step, &error) || !file) {
        fprintf(stderr, "%s\n", file ? error.c_str() : "can't open the file");
        return 2;
    }
    std::vector<unsigned char> data;
    unsigned char block[1 << 16];
    size_t n;
    while ((n = fread(block, 1, sizeof block, file)) > 0)
        data.insert(data.end(), block, block + n);
    fclose(file);
    double best = 1e9;
    uint32_t value = 0;
    for (int pass = 0; pass < 5; pass++) {
        auto start = std::chrono::steady_clock::now();
        value = checksum_of(&sum_step.algorithm, sum_step.big_endian, data.data(), data.size());
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = took.count() < best ? took.count() : best;
    }
    printf("%s %.0f MB/s\n", format_checksum(&sum_step.algorithm, value).c_str(), data.size() / best / 1e6);
    return 0;
}
