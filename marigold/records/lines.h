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
// What get_line found after the text it stored.
enum LineEnd { LINE_ENDED = 0, LINE_CUT = 1, INPUT_ENDED = -1 }; // cut after LINE_MAX_CHARS
int get_line(char* line, FILE* in);
enum { NO_HEX_DIGIT = -1, NO_HEX_NUMBER = -1 };
extern const signed char* const HexDigitValue; // 0 to 15, or NO_HEX_DIGIT
// The pair's value as "%x" reads it: "-5" gives -5, and any negative value
// stops a record's bytes; NO_HEX_NUMBER when no digit is there.
int hex_pair(const char* text);
int decode_record_bytes(const char* text);

#endif
