// hex_pair against the C library's "%x", and decode_record_bytes against
// pair-by-pair decoding, on arbitrary text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "records/lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text((const char*)data, size);
    text = text.c_str(); // up to the first NUL
    char pair[3] = {0, 0, 0};
    if (!text.empty()) {
        pair[0] = text[0];
        pair[1] = text.size() > 1 ? text[1] : 0;
    }
    int expected = -1;
    sscanf(pair, "%x", (unsigned*)&expected);
    if (hex_pair(pair) != expected)
        abort();

    int result = decode_record_bytes(text.c_str());
    if (RecordBytes.count < 0 || RecordBytes.count > RECORD_BYTES_SIZE)
        abort();
    size_t pos = 0;
    for (int i = 0; i < RecordBytes.count; i++) {
        int value = hex_pair(text.c_str() + pos);
        if (value < 0 || RecordBytes.bytes[i] != (value & 0xff))
            abort();
        pos += pos + 1 < text.size() ? 2 : 1;
    }
    if (result < 0 && hex_pair(text.c_str() + pos) != result)
        abort();
    return 0;
}
