// The -x mode: the inputs merged into one output, a raw image or records.
#ifndef MARIGOLD_CONVERT_H
#define MARIGOLD_CONVERT_H

#include "records/writer.h"

#include <cstdint>

extern uint64_t BinLimit; // the longest .bin image written
extern uint64_t FillLimit; // the most bytes -F adds without :large
OutKind output_kind(const char* path);
int convert_file();

#endif
