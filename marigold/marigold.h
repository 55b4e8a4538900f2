// marigold: hex dump, check and conversion of Intel HEX and S-record files,
// start-record filter, and the checksum word of raw images and of the images
// that record files describe.
//
// Every unit works on process-wide state (options, paths, the record buffer,
// the image) and prints through the buffered writer of output.cpp, so a
// fatal exit must go through out_exit() to keep what was already printed.
#ifndef MARIGOLD_H
#define MARIGOLD_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

// options.cpp: options and paths, set once by the argument walk
extern const char* OptionTable[128];
extern const char* InputPath;
extern const char* OutputPath;
bool option_given(char letter);
bool walk_arguments(int argc, char** argv);
[[noreturn]] void usage(int code = 1);

// output.cpp: buffered standard output
void out_set_stream(FILE* stream);
void out_to_error(bool on); // what follows goes to standard error
void out_flush();
bool out_ok(); // flushes; false once the report could not be written
[[noreturn]] void out_exit(int code);
extern const char* TempPath; // a half-written temporary file, removed by out_exit
void set_temp_path(const char* path); // null: no such file any more
void out_str(const char* text);
void out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void out_hex(uint32_t value, int min_digits);
void out_byte(unsigned value); // " %02x"
void out_bytes(const unsigned char* data, int n);
void out_newline();
void out_dec(uint64_t value);
void out_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// lines.cpp: reading and decoding record lines, and the dump mode
enum { LINE_MAX_CHARS = 255, RECORD_BYTES_SIZE = 256 };
struct RecordBuffer {
    unsigned char bytes[RECORD_BYTES_SIZE];
    int count;
};
extern RecordBuffer RecordBytes;
FILE* open_input();
void close_input(FILE* in);
int get_line(char* line, FILE* in);
extern const signed char* const HexDigitValue; // 0 to 15, or -1 for no hex digit
int hex_pair(const char* text);
int decode_record_bytes(const char* text);
int process_line(const char* line);
void dump_file();

// dump.cpp: what each record prints
extern uint32_t UpperAddress;
void intel_record(int type, const unsigned char* bytes, int count);
void data_record(const unsigned char* bytes, int count);
void srec_record(int width, const unsigned char* bytes, int count);
void dump_rows(uint32_t address, const unsigned char* data, int32_t n);
void dump_row(uint32_t address, const unsigned char* data, int k);

// filter.cpp: copy an Intel HEX file without its start records
int filter_start_records();
int keep_record_line(const char* line);

// ranges.cpp: the sorted, merged address ranges of the -i mode
struct Span {
    uint32_t first, last;
};
enum { MAX_OVERLAPS = 128 }; // a record holds at most 255 bytes
extern std::map<uint32_t, uint64_t> Ranges; // start -> end (exclusive)
extern Span Overlaps[MAX_OVERLAPS];
extern int OverlapCount;
void ranges_clear();
void ranges_add(uint32_t start, uint32_t n);
uint64_t ranges_bytes();

// info_records.cpp: the -i mode's reading of record lines, fed in pieces
enum StartKind { START_NONE, START_LINEAR, START_SEGMENT };
struct InfoState {
    uint64_t line; // lines ended so far
    uint64_t records, data_records, srec_data_records, problems;
    bool intel_seen, srec_seen, eof_record_seen, ended, after_end_reported;
    bool segmented; // the base came from type 02, not 04
    bool extended; // a type 02 to 05 record was read: no 8-bit file
    uint32_t base;
    StartKind start_kind;
    uint32_t start;
    uint64_t scanned; // bytes handed to info_scan so far
    uint64_t line_offset; // where the line being read starts in the file
    uint32_t checksum_column; // of the record being judged, in its line
    bool replay; // a checked file read again: data go to image_data alone
};
extern InfoState Info;
void info_reset();
void info_feed(const char* text, size_t n);
void info_end_line();

// info.cpp: the -i mode
void info_scan(const char* block, size_t n); // lines split at LF, the last one left open
void info_read(FILE* in);
void info_check_end(); // the end-of-file record, once the file is read
void info_summary();
int info_file();

// records.cpp: the image that a record file describes, read the way -i
// reads it: a first pass checks the file and notes where its data lie, a
// replay hands them over in address order.
enum DataUse { DATA_NONE, DATA_RUNS, DATA_CONVERT, DATA_CHECKSUM };
extern DataUse DataTarget; // where the record reading hands its data
// n bytes at address, from the line being read; column: where the digits of
// data[0] stand in that line.
void image_data(uint32_t address, const unsigned char* data, uint32_t n, uint32_t column);
bool holds_record_line(FILE* in); // any line of the file is a record line
bool first_line_crlf(FILE* in);
extern bool Streaming; // -x writes the data during the first pass: they came in order
bool records_sound(FILE* in, bool stream); // -i's problems on standard error
void replay_image(FILE* in, uint64_t from, uint64_t to);

// convert.cpp: the -x mode
extern uint64_t BinLimit; // the longest .bin image written
enum OutKind { OUT_NONE, OUT_BIN, OUT_HEX, OUT_S19, OUT_S28, OUT_S37, OUT_SREC };
OutKind output_kind(const char* path);
void convert_bytes(uint32_t address, const unsigned char* data, uint32_t n);
int convert_file();

// convert_records.cpp: -x's Intel HEX and S-record output (OUT_SREC settled
// to one width before)
void records_begin(FILE* out, OutKind kind, bool crlf);
void records_bytes(uint32_t address, const unsigned char* data, uint32_t n);
bool records_end();
uint32_t linear_start(); // the start address, 0 when there is none

// records_sum.cpp: -c and -w on a record file
void sum_bytes(uint32_t address, const unsigned char* data, uint32_t n, uint32_t column);
int check_records(bool fix);

// image.cpp: checksum word of a raw image
enum { IMAGE_SIZE = 65536 };
extern unsigned char Image[IMAGE_SIZE];
extern int32_t ImageLength;
int32_t load_image(FILE* in); // reads the image and closes the input
int32_t save_image();
uint32_t image_checksum();
int check_image();
int fix_image();

#endif
