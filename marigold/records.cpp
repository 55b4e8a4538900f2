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

// A record line, as -i would read it or with blanks around it: ':' and at
// least the ten digits of the shortest Intel HEX record, or 'S', a digit and
// at least eight digits, and no more digits than the longest record holds.
// Lines end at LF or at CR, so CR-only files count too.
enum { RECORD_DIGITS_MAX = 2 * (5 + 255) };
enum SniffPhase { SNIFF_START, SNIFF_S_TYPE, SNIFF_DIGITS, SNIFF_TRAIL, SNIFF_SKIP };

static bool sniff_line_ends(SniffPhase phase, char kind, int digits)
{
    return (phase == SNIFF_DIGITS || phase == SNIFF_TRAIL) && digits >= (kind == ':' ? 10 : 8);
}

// True when any line of the file is a record line: such a file is read as
// records (and refused when -i finds problems in it), never patched as a raw
// image. A raw image holds such a line only by a chance of about 1 in 10^17
// per byte.
bool holds_record_line(FILE* in)
{
    static const unsigned char bom[] = { 0xef, 0xbb, 0xbf };
    SniffPhase phase = SNIFF_START;
    char kind = 0;
    int digits = 0;
    bool found = false;
    int c = fgetc(in);
    for (int i = 0; i < 3 && c == bom[i]; i++)
        c = fgetc(in);
    for (; !found && c != EOF; c = getc(in)) {
        if (c == '\n' || c == '\r') {
            found = sniff_line_ends(phase, kind, digits);
            phase = SNIFF_START;
            continue;
        }
        bool blank = c == ' ' || c == '\t';
        switch (phase) {
        case SNIFF_START:
            kind = (char)c;
            digits = 0;
            phase = blank  ? SNIFF_START
                : c == ':' ? SNIFF_DIGITS
                : c == 'S' ? SNIFF_S_TYPE
                           : SNIFF_SKIP;
            break;
        case SNIFF_S_TYPE:
            phase = c >= '0' && c <= '9' ? SNIFF_DIGITS : SNIFF_SKIP;
            break;
        case SNIFF_DIGITS:
            if (HexDigitValue[c] >= 0)
                phase = ++digits <= RECORD_DIGITS_MAX ? SNIFF_DIGITS : SNIFF_SKIP;
            else
                phase = blank ? SNIFF_TRAIL : SNIFF_SKIP;
            break;
        case SNIFF_TRAIL:
            phase = blank ? SNIFF_TRAIL : SNIFF_SKIP;
            break;
        case SNIFF_SKIP:
            break;
        }
    }
    found = found || sniff_line_ends(phase, kind, digits);
    rewind_input(in);
    return found;
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
