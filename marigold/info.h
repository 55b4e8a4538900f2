// The -i mode: a record file's problems in file order, then its summary.
#ifndef MARIGOLD_INFO_H
#define MARIGOLD_INFO_H

#include "records/parser.h"

#include <cstddef>
#include <cstdio>

extern RecordParser Info; // the one file -i reads
void info_reset(); // for InputPath
void info_end_line();
void info_scan(const char* block, size_t n); // lines split at LF, the last one left open
void info_read(FILE* in);
void info_summary();
int info_file();

#endif
