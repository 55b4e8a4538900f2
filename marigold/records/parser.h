// The strict record parser of -i, -x, -d, -c and -w: a line arrives in
// pieces of any size (info_feed), is decoded as it comes, and is judged
// when it ends (parser_end_line), its problems printed in file order.
#ifndef MARIGOLD_RECORDS_PARSER_H
#define MARIGOLD_RECORDS_PARSER_H

#include <cstddef>
#include <cstdint>

enum StartKind { START_NONE, START_LINEAR, START_SEGMENT };
// The data of one record line: one piece, or two where its addresses wrap.
struct LineData {
    uint32_t address;
    const unsigned char* data; // inside the record reader's line, until the next line
    uint32_t n;
    uint32_t column; // where the digits of data[0] stand in the line
};
// An Intel record holds 4 + 255 + 1 bytes at most, an S-record 1 + 255: a
// longer line is a length mismatch whatever it holds.
enum { LINE_KEEP = 260 };
enum LinePhase { PHASE_START, PHASE_S_TYPE, PHASE_HEX, PHASE_GARBLED };
// The line being read: only its first bytes are kept; the sum, the count and
// the last byte cover the rest, however long the line.
struct LineState {
    LinePhase phase;
    char kind; // ':' or the S-record type digit
    bool cr; // the text so far ends with a CR, allowed only before the line end
    int high; // a first hex digit waiting for its second, or NO_HEX_DIGIT
    uint64_t count; // bytes decoded
    uint32_t sum;
    unsigned char last;
    unsigned char bytes[LINE_KEEP];
};
// One file's reading: each reader of a file owns one, so that two files (-d)
// or two passes over one file never share it.
struct RecordParser {
    const char* path; // named in its messages
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
    LineState open_line; // the line being read
};
// Ready for a new file, named path in its messages.
void parser_reset(RecordParser* parser, const char* path);
void parser_feed(RecordParser* parser, const char* text, size_t n);
void parser_end_line(RecordParser* parser);
// A whole record line, its end where its count field says, read at once:
// the characters taken with the line feed, or 0 when text does not start
// with such a line (it is then left to parser_feed).
size_t parser_whole_line(RecordParser* parser, const char* text, size_t n);
void parser_check_end(RecordParser* parser); // the end-of-file record, once the file is read
// A CS:IP start (type 03) as the linear address it means; 0 when there is none.
uint32_t linear_start(StartKind start_kind, uint32_t start);

#endif
