// The Intel HEX and S-record writer of -x (OUT_SREC settled to one width
// before): lines of 16 bytes, start and end records.
#ifndef MARIGOLD_RECORDS_WRITER_H
#define MARIGOLD_RECORDS_WRITER_H

#include "records/parser.h"

#include <cstdint>
#include <cstdio>

enum OutKind { OUT_NONE, OUT_BIN, OUT_HEX, OUT_S19, OUT_S28, OUT_S37, OUT_SREC };
void records_begin(FILE* out, OutKind kind, bool crlf, const char* header);
void records_bytes(uint32_t address, const unsigned char* data, uint32_t n);
bool records_end(StartKind start_kind, uint32_t start); // false when the output could not be written

#endif
