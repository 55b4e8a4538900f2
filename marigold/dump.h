// The dump: each record line of the input printed as it is read.
#ifndef MARIGOLD_DUMP_H
#define MARIGOLD_DUMP_H

#include <cstdint>

extern uint32_t UpperAddress;
// What process_line made of a line: a record or an empty line, or a
// garbled line it warned about.
enum LineKind { LINE_TAKEN = 0, LINE_GARBLED = -1 };
int process_line(const char* line);
void dump_file();
// What each record prints.
void intel_record(int type, const unsigned char* bytes, int count);
void data_record(const unsigned char* bytes, int count);
void srec_record(int width, const unsigned char* bytes, int count);
void dump_rows(uint32_t address, const unsigned char* data, int32_t n);
void dump_row(uint32_t address, const unsigned char* data, int k);

#endif
