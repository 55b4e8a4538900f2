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
#include <vector>

// options.cpp: options and paths, set once by the argument walk
extern const char* OptionTable[128];
extern const char* InputPath;
extern const char* OutputPath;
extern char** Paths; // the input path and every argument after it
extern int PathCount;
bool option_given(char letter);
bool walk_arguments(int argc, char** argv);
[[noreturn]] void usage(int code = 1, bool more = false); // more: --help's option lines

// output.cpp: buffered standard output
void out_set_stream(FILE* stream);
void out_to_error(bool on); // what follows goes to standard error
void out_quiet(bool on); // what follows is dropped, until as many calls with false
void out_flush();
bool out_ok(); // flushes; false once the report could not be written
[[noreturn]] void out_exit(int code);
extern const char* TempPath; // a half-written temporary file, removed by out_exit
// The temporary file and its open stream, if any; null: no such file any more.
void set_temp_path(const char* path, FILE* file);
void out_str(const char* text);
void out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void out_hex(uint32_t value, int min_digits);
void out_byte(unsigned value); // " %02x"
void out_bytes(const unsigned char* data, int n);
void out_newline();
void out_dec(uint64_t value);
void out_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "Fatal: can't VERB file:PATH", then the system's reason on a line of its
// own (error 0: an I/O error).
void file_failed(const char* verb, const char* path, int error);
// fwrite that keeps the reason of the first failed write of a file for
// file_failed; false when not all was written.
bool file_write(const void* data, size_t n, FILE* file);
extern int FileErrno; // that reason, 0 until a write failed
bool file_close(FILE* file); // fclose, keeping its reason too

// lines.cpp: reading and decoding record lines, and the dump mode
enum { LINE_MAX_CHARS = 255, RECORD_BYTES_SIZE = 256 };
struct RecordBuffer {
    unsigned char bytes[RECORD_BYTES_SIZE];
    int count;
};
extern RecordBuffer RecordBytes;
extern int FailCode; // the exit code of a file that can't be read: 1, or 2 for -d
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
// The data of one record line: one piece, or two where its addresses wrap.
struct LineData {
    uint32_t address;
    const unsigned char* data; // inside the record reader's line, until the next line
    uint32_t n;
    uint32_t column; // where the digits of data[0] stand in the line
};
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
    bool replay; // a checked file read again: its data alone are wanted
    bool quick; // overlaps are left to the caller: no ranges
    LineData pieces[2]; // the data of the line last ended
    int piece_count;
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

// The image model. Each input (a record file, or a raw image named *.bin)
// is read into runs: stretches of data that follow on from each other both
// in the file and in the address space. The runs of all inputs, shifted,
// merged, cropped and filled, are handed out in address order by a cursor
// that reads their bytes again from the files, so memory follows the
// number of runs, not the image. A record file whose data come far out of
// address order (many small runs) keeps them in pages in memory instead,
// which become runs of their own once the file is read.
enum InputKind { INPUT_RECORDS, INPUT_RAW };

// pages.cpp: an input's data held in memory, in pages of 512 bytes
// allocated on first write, each with a bitmap of the bytes it holds,
// found by page number through an open-addressed table. Writes are held
// back in small batches, so that the pages they go to load side by side.
enum { PAGE_SHIFT = 9, PAGE_SIZE = 1 << PAGE_SHIFT, PAGE_WORDS = PAGE_SIZE / 64, PAGES_HELD = 32 };
struct Page {
    uint64_t present[PAGE_WORDS];
    unsigned char bytes[PAGE_SIZE];
};
struct PageSlot {
    uint32_t number; // the page's address >> PAGE_SHIFT
    uint32_t index; // in the blocks, plus one; 0: a free slot
};
struct PageStore {
    std::vector<std::vector<Page>> blocks; // never moved once allocated
    std::vector<PageSlot> table; // a power of two long; sorted by number once done
    uint32_t count;
    int table_bits;
    PageSlot last; // the slot found last
    // Writes held back: the address and count of each, and their bytes one
    // after the other.
    uint32_t held[2 * PAGES_HELD];
    uint32_t held_count, held_bytes;
    unsigned char held_data[PAGES_HELD * 255];
    bool overlap; // a byte was given twice
    bool sorted; // the table holds the pages in address order, without gaps
};

struct Input {
    std::string path; // the file's name, without a place or shift
    InputKind kind;
    int64_t shift; // added to every address; a raw image's place
    StartKind start_kind;
    uint32_t start;
    bool crlf; // the first line ends with CR LF
    uint64_t runs; // how many of the image's runs in the file are this input's
    uint64_t size; // of the file
    // The first pass: where its data reached, how many runs began below
    // that, and whether its data now go to pages (the last piece did).
    uint64_t reach;
    uint32_t behind;
    bool paged, last_paged;
    PageStore pages;
};
struct Run {
    uint64_t offset; // records: the first line; raw: the first byte
    uint32_t address; // in the image: shifted
    uint32_t n;
    uint32_t input;
    uint32_t base; // the record reader's base at the run's first line
    bool segmented;
    bool in_memory; // its bytes are in the input's pages, not read again
};
inline uint64_t run_end(const Run& run)
{
    return (uint64_t)run.address + run.n;
}
// The pages' addresses are the input's own, before its shift.
void pages_put(PageStore* store, uint32_t address, const unsigned char* data, uint32_t n);
// Appends the pages' data as runs, in address order, and sorts the table.
void pages_to_runs(PageStore* store, uint32_t input, std::vector<Run>* runs);
// The page that holds address, once sorted, looked for from slot *hint on.
const Page* pages_find(const PageStore* store, uint32_t address, size_t* hint);
void pages_clear(PageStore* store);
struct ImageRuns {
    std::vector<Input> inputs;
    std::vector<Run> runs; // in address order, without overlaps
    bool crop, fill;
    uint64_t first, last; // the crop range, both included
    unsigned char fill_byte;
    bool fill_large; // -F<BYTE>:large: a fill past 256 MiB is wanted
    StartKind start_kind;
    uint32_t start;
    bool lines_wanted; // pieces say where they stand in their lines
};
// A stretch of the image. From a record line, line and columns say where
// its digits and the record's checksum stand; fill has no line.
struct Piece {
    uint64_t address;
    const unsigned char* data;
    uint32_t n;
    bool from_line;
    uint64_t line; // file offset of the line
    uint32_t column, checksum_column;
};

// reader.cpp: a run's bytes read again for a cursor, and the reading of
// lines both passes share
enum { READ_BLOCK = 1 << 16 };
struct RunReader {
    FILE* file;
    uint32_t input;
    size_t run;
    std::vector<char> buf;
    uint64_t buf_at;
    size_t buf_len, buf_pos;
    uint32_t base;
    bool segmented;
    uint64_t next, end; // the run's next file address and where it ends
    unsigned char data[256];
    // a window: the bytes of many runs, read in one pass over the file
    std::vector<unsigned char> window;
    size_t window_first, window_end; // the runs it holds
    std::vector<uint64_t> window_at; // where each of them starts in it
    bool window_dense; // it maps the addresses from window_low straight
    uint64_t window_low;
    size_t window_guess; // the run last found
    size_t page_hint; // the page of a run in memory read last
};
// from: the first image address wanted, which a raw image is read from
void reader_start(RunReader* reader, const ImageRuns* image, size_t run, uint64_t from);
bool reader_piece(RunReader* reader, const ImageRuns* image, Piece* piece);
void reader_close(RunReader* reader);
bool reader_line(RunReader* reader); // the next line to the record reader; false at the end
[[noreturn]] void can_not_read(const char* path);

// records.cpp: the first pass over the inputs, and what tells a record file
bool holds_record_line(FILE* in); // any line of the file is a record line
// The first pass checks each input as -i checks it (its problems on
// standard error) and notes its runs, handing its data out on the way.
struct FirstPass {
    ImageRuns* image;
    uint32_t input; // being read
    RunReader reader;
    size_t from; // its first run
    uint64_t next; // of a raw image: the offset of its next byte
    int count; // of the line's pieces, handed out
    LineData pieces[2]; // the line's data, kept
    int piece_count;
    uint64_t line_offset;
    uint32_t checksum_column;
    unsigned char data[RECORD_BYTES_SIZE];
    bool sound;
    bool raw_data; // raw images are read too, not only noted
    const char* given; // InputPath as it was
};
void first_pass_start(FirstPass* pass, ImageRuns* image, bool raw_data);
bool first_pass_next(FirstPass* pass, Piece* piece);

// runs.cpp: the image model's arguments, merge, shift, crop and fill
bool parse_input(const char* arg, Input* input);
bool parse_fill_and_crop(ImageRuns* image); // -F and -R
bool build_image(ImageRuns* image, char** args, int n); // false after saying why
bool read_inputs(ImageRuns* image); // of inputs set up before
bool settle_image(ImageRuns* image, bool sound); // after the first pass
bool image_empty(const ImageRuns* image);
uint64_t image_low(const ImageRuns* image); // of the bytes the cursor hands out
uint64_t image_high(const ImageRuns* image);
struct Cursor {
    const ImageRuns* image;
    size_t run; // the run being read
    bool reading, done;
    uint64_t next, last; // the address due next, and the image's last
    RunReader reader;
};
void cursor_start(Cursor* cursor, const ImageRuns* image);
bool cursor_next(Cursor* cursor, Piece* piece); // false at the end
void cursor_end(Cursor* cursor);

// convert.cpp: the -x mode
extern uint64_t BinLimit; // the longest .bin image written
extern uint64_t FillLimit; // the most bytes -F adds without :large
enum OutKind { OUT_NONE, OUT_BIN, OUT_HEX, OUT_S19, OUT_S28, OUT_S37, OUT_SREC };
OutKind output_kind(const char* path);
int convert_file();

// convert_records.cpp: -x's Intel HEX and S-record output (OUT_SREC settled
// to one width before)
void records_begin(FILE* out, OutKind kind, bool crlf, const char* header);
void records_bytes(uint32_t address, const unsigned char* data, uint32_t n);
bool records_end(StartKind start_kind, uint32_t start);
uint32_t linear_start(StartKind start_kind, uint32_t start); // 0 when there is none

// compare.cpp: the -d mode
int compare_files();

// records_sum.cpp: -c and -w on a record file
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
