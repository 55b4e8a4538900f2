// Record lines: the input file read a line at a time, and the hex pairs of a
// line decoded into the one record buffer.
#ifndef MARIGOLD_RECORDS_LINES_H
#define MARIGOLD_RECORDS_LINES_H

#include <cstdio>

enum { LINE_MAX_CHARS = 255, RECORD_BYTES_SIZE = 256 };
struct RecordBuffer {
    unsigned char bytes[RECORD_BYTES_SIZE];
    int count;
};
extern RecordBuffer RecordBytes;
FILE* open_input(); // InputPath
void close_input(FILE* in);
FILE* open_path(const char* path); // a fatal exit when it can't be opened or read
void close_path(FILE* in, const char* path); // a fatal exit after a read error
int get_line(char* line, FILE* in);
extern const signed char* const HexDigitValue; // 0 to 15, or -1 for no hex digit
int hex_pair(const char* text);
int decode_record_bytes(const char* text);

#endif
