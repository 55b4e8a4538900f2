// CRCs and sums over image bytes: the catalogue of named algorithms, custom
// CRCs by their parameters, the text of -K, an incremental engine and the
// identification of a stored value. Works on memory only: the caller reads
// the image and prints the results.
#ifndef MARIGOLD_CHECKSUMS_H
#define MARIGOLD_CHECKSUMS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum ChecksumKind { KIND_CRC, KIND_SUM, KIND_FLETCHER16, KIND_ADLER32 };
enum SumFinish { FINISH_PLAIN, FINISH_NEGATE, FINISH_INVERT };
// What a stored value's own bytes count as when it lies inside the range it
// covers: the fill byte (-F), or zero where the whole range, value included,
// is meant to add up to a known total.
enum SelfRule { SELF_FILL, SELF_ZERO };

struct CrcParams {
    int width; // 8 to 32
    uint32_t poly, init;
    bool refin, refout;
    uint32_t xorout;
};

struct ChecksumAlgorithm {
    char name[20];
    ChecksumKind kind;
    int width; // bits of the value: 8, 16 or 32 (a custom CRC 8 to 32)
    int unit; // bytes read as one unit: 1, 2 or 4
    bool fixed_order; // units always little-endian: /be orders only the stored value
    bool little_only; // /be is refused
    CrcParams crc;
    SumFinish finish;
    SelfRule self_rule;
    uint32_t length; // bytes it always covers; 0: any number
    uint32_t check; // of the nine bytes "123456789"
};
extern const ChecksumAlgorithm ChecksumCatalogue[];
extern const int ChecksumCatalogueSize;
const ChecksumAlgorithm* find_checksum(const std::string& name); // null: no such name
std::string checksum_names(); // "crc32, crc32c, ..."

// One -K argument, parsed: <name>[:FIRST-LAST][@ADDR[/be]] or
// ?[:FIRST-LAST]@ADDR[/be].
struct ChecksumStep {
    ChecksumAlgorithm algorithm; // a copy: a custom CRC has no catalogue entry
    bool identify; // ?@ADDR: the algorithm is unset
    bool has_range;
    uint32_t first, last; // both included
    bool has_address; // the value is stored or checked there
    uint32_t address;
    bool big_endian; // /be: the stored value, and the units of a word sum
    bool order_given; // /be was written
};
// text: what follows -K. false with error set to a one-line message.
bool parse_checksum_step(const char* text, ChecksumStep* sum_step, std::string* error);
bool parse_custom_crc(const std::string& params, ChecksumAlgorithm* algorithm, std::string* error);

// The incremental engine: checksum_init, checksum_feed as often as wanted,
// checksum_final. A last unit that is not whole is padded with zero bytes
// (as srec_cat pads its word sums); checksum_final says how many.
enum { CRC_SLICES = 8 };
struct ChecksumState {
    ChecksumAlgorithm algorithm;
    bool big_units; // 16- and 32-bit units read big-endian
    uint32_t reg; // CRC register (reflected, or aligned to bit 31), sum, or first sum
    uint64_t low, high; // Fletcher and Adler sums, reduced now and then
    uint32_t pending; // bytes added to low and high since the last reduction
    unsigned char partial[4];
    int partial_n;
    uint64_t fed;
    uint32_t table[CRC_SLICES][256];
};
void checksum_init(ChecksumState* state, const ChecksumAlgorithm* algorithm, bool big_endian);
void checksum_feed(ChecksumState* state, const unsigned char* data, size_t n);
uint32_t checksum_final(ChecksumState* state, int* padded = nullptr);
uint32_t checksum_of(const ChecksumAlgorithm* algorithm, bool big_endian, const unsigned char* data,
    size_t n);

// "crc32=cbf43926": the name, and the value in lower-case hex with as many
// digits as the width.
std::string format_checksum(const ChecksumAlgorithm* algorithm, uint32_t value);
int checksum_bytes(const ChecksumAlgorithm* algorithm); // of the stored value
void store_checksum(const ChecksumAlgorithm* algorithm, uint32_t value, bool big_endian,
    unsigned char* out);
uint32_t load_checksum(const ChecksumAlgorithm* algorithm, const unsigned char* in, bool big_endian);
// Replaces the bytes of data (image bytes from address) that the stored value
// occupies with what the self rule counts them as.
void mask_stored_value(const ChecksumStep* sum_step, uint64_t address, unsigned char* data, size_t n,
    unsigned char fill);

// Identification: each catalogue entry, in each byte order asked for, over
// each candidate range, compared with the bytes stored at address.
struct ChecksumRange {
    uint32_t first, last;
};
// Puts the image's bytes first..last into bytes; false when it can't.
typedef bool (*RangeBytesFn)(void* context, ChecksumRange range, std::vector<unsigned char>* bytes);
struct IdentifyRequest {
    std::vector<ChecksumRange> ranges;
    uint32_t address;
    unsigned char stored[4]; // the image's bytes from address
    int stored_n;
    unsigned char fill; // what a value's own bytes count as under SELF_FILL
    bool little, big; // the byte orders to try
    RangeBytesFn range_bytes;
    void* context;
};
struct ChecksumMatch {
    const ChecksumAlgorithm* algorithm;
    bool big_endian;
    ChecksumRange range;
    uint32_t value;
};
std::vector<ChecksumMatch> identify_checksum(const IdentifyRequest* request);

#endif
