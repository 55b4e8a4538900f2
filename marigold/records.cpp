// The image that a record file describes, read the way -i reads it. The
// first pass checks the file and notes its runs: stretches of data that
// follow on from each other both in the file and in the address space, each
// with the file offset of its first record and the base in force there. The
// replay visits the runs in address order and reads their records again, so
// memory follows the number of runs, not the data or the address space.
#include "marigold.h"
#include "platform.h"

#include <algorithm>
#include <cstring>
#include <vector>

DataUse DataTarget;
bool Streaming;
static uint64_t StreamNext;

struct Run {
    uint32_t address;
    uint64_t n;
    uint64_t offset; // of the line that holds the run's first byte
    uint32_t base;
    bool segmented;
};
static std::vector<Run> Runs;

// The replay: the stretch of the image wanted, the next address due from the
// run being read, and where that run ends.
static uint64_t WantFrom, WantTo, Cursor, RunEnd;

static void note_run(uint32_t address, uint32_t n)
{
    if (!Runs.empty()) {
        Run& last = Runs.back();
        if (last.address + last.n == address) {
            last.n += n;
            return;
        }
    }
    Runs.push_back(Run { address, n, Info.line_offset, Info.base, Info.segmented });
}

void image_data(uint32_t address, const unsigned char* data, uint32_t n, uint32_t column)
{
    if (n == 0) return;
    if (DataTarget == DATA_RUNS) {
        note_run(address, n);
        // Data in address order go out as they come; the first piece out
        // of order leaves the rest to the replay.
        if (Streaming && address < StreamNext) Streaming = false;
        if (!Streaming) return;
        StreamNext = (uint64_t)address + n;
        return convert_bytes(address, data, n);
    }
    // Only the pieces of the run being read count: the first line of a run
    // may also hold the end of another, where its addresses wrap.
    if (address != Cursor || Cursor >= RunEnd) return;
    Cursor += n;
    uint64_t first = std::max<uint64_t>(address, WantFrom);
    uint64_t end = std::min<uint64_t>((uint64_t)address + n, WantTo);
    if (first >= end) return;
    uint32_t skip = (uint32_t)(first - address);
    if (DataTarget == DATA_CONVERT)
        convert_bytes((uint32_t)first, data + skip, (uint32_t)(end - first));
    else
        sum_bytes((uint32_t)first, data + skip, (uint32_t)(end - first), column + 2 * skip);
}

// The callers made sure the input is a file on disk.
static void rewind_input(FILE* in)
{
    if (!seek_file(in, 0)) {
        out_printf("Fatal: can't read file:%s\n", InputPath);
        out_exit(1);
    }
}

// A record file's first non-blank line holds a record's characters alone:
// ':' or 'S' and a digit, then hex digits up to LF or CR LF. A UTF-8 byte
// order mark, blank lines and blanks may come before it, though -i finds
// the last two garbled: such a file is refused rather than taken as raw.
bool starts_with_record(FILE* in)
{
    // The longest record: ':', five bytes of head and checksum, 255 of data.
    enum { RECORD_CHARS_MAX = 1 + 2 * (5 + 255) };
    static const unsigned char bom[] = { 0xef, 0xbb, 0xbf };
    int c = fgetc(in);
    for (int i = 0; i < 3 && c == bom[i]; i++)
        c = fgetc(in);
    while (c == '\r' || c == '\n' || c == ' ' || c == '\t')
        c = fgetc(in);
    bool record = c == ':';
    int n = 1; // characters of the line so far
    if (c == 'S') {
        c = fgetc(in);
        record = c >= '0' && c <= '9';
        n = 2;
    }
    while (record && (c = fgetc(in)) != EOF && HexDigitValue[c] >= 0)
        record = ++n <= RECORD_CHARS_MAX;
    if (record && c == '\r') c = fgetc(in);
    rewind_input(in);
    return record && (c == '\n' || c == EOF);
}

bool first_line_crlf(FILE* in)
{
    int c, previous = 0;
    while ((c = fgetc(in)) != EOF && c != '\n')
        previous = c;
    rewind_input(in);
    return c == '\n' && previous == '\r';
}

// The first pass. -i's messages go to standard error; false when there are
// any, or when the file is no record file of one format.
bool records_sound(FILE* in, bool stream)
{
    Streaming = stream;
    StreamNext = 0;
    Runs.clear();
    info_reset();
    DataTarget = DATA_RUNS;
    out_to_error(true);
    info_read(in);
    info_check_end();
    bool sound = Info.problems == 0;
    if (sound && Info.intel_seen && Info.srec_seen) {
        out_str(InputPath);
        out_str(": mixes Intel HEX and S-records\n");
        sound = false;
    } else if (sound && !Info.intel_seen && !Info.srec_seen) {
        out_str(InputPath);
        out_str(": holds no records\n");
        sound = false;
    }
    out_to_error(false);
    DataTarget = DATA_NONE;
    return sound;
}

static FILE* ReplayIn;
static char Buf[1 << 16];
static uint64_t BufAt; // the file offset of Buf[0]
static size_t BufLen, BufPos;

static void replay_seek(uint64_t offset)
{
    if (offset >= BufAt && offset <= BufAt + BufLen) {
        BufPos = (size_t)(offset - BufAt);
        return;
    }
    if (!seek_file(ReplayIn, offset)) {
        out_printf("Fatal: can't read file:%s\n", InputPath);
        out_exit(1);
    }
    BufAt = offset;
    BufLen = BufPos = 0;
}

// Hands the line at the read position to the record reader; false at the
// end of the file.
static bool replay_line()
{
    Info.line_offset = BufAt + BufPos;
    for (;;) {
        if (BufPos == BufLen) {
            BufAt += BufLen;
            BufPos = 0;
            BufLen = fread(Buf, 1, sizeof Buf, ReplayIn);
            if (BufLen == 0) {
                info_end_line();
                return false;
            }
        }
        char* p = Buf + BufPos;
        char* lf = (char*)memchr(p, '\n', BufLen - BufPos);
        size_t n = lf ? (size_t)(lf - p) : BufLen - BufPos;
        info_feed(p, n);
        BufPos += n;
        if (lf) {
            BufPos++;
            info_end_line();
            return true;
        }
    }
}

// Hands the image bytes from `from` up to `to` to the mode that DataTarget
// names, in address order.
void replay_image(FILE* in, uint64_t from, uint64_t to)
{
    std::sort(
        Runs.begin(), Runs.end(), [](const Run& a, const Run& b) { return a.address < b.address; });
    ReplayIn = in;
    BufAt = BufLen = BufPos = 0;
    rewind_input(in);
    WantFrom = from;
    WantTo = to;
    Info.replay = true;
    for (const Run& run : Runs) {
        if (run.address + run.n <= from) continue;
        if (run.address >= to) break;
        replay_seek(run.offset);
        Info.base = run.base;
        Info.segmented = run.segmented;
        Info.ended = false;
        Cursor = run.address;
        RunEnd = run.address + run.n;
        while (Cursor < RunEnd && Cursor < to && replay_line()) { }
    }
    Info.replay = false;
}
