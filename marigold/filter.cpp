// The -f mode: copy an Intel HEX file without its start-address (type 05)
// records, with CR LF line ends.
#include "filter.h"
#include "options.h"
#include "output.h"
#include "records/lines.h"

#include <cerrno>
#include <cstring>

static FILE* create_output()
{
    FILE* out = fopen(OutputPath, "wb");
    if (!out) {
        file_failed("create", OutputPath, errno);
        out_exit(1);
    }
    return out;
}

// A full disk must not leave a cut copy behind a zero exit code.
static void close_output(FILE* out)
{
    if (!file_close(out)) {
        file_failed("write", OutputPath, FileErrno);
        out_exit(1);
    }
}

int keep_record_line(const char* line)
{
    if (line[0] != ':') return 0;
    decode_record_bytes(line + 1);
    if (RecordBytes.bytes[3] != 5) return 1;
    uint32_t start = (uint32_t)RecordBytes.bytes[4] << 24 | (uint32_t)RecordBytes.bytes[5] << 16
        | (uint32_t)RecordBytes.bytes[6] << 8 | RecordBytes.bytes[7];
    out_printf(":scmd=5 start=%x\n", start);
    return 0;
}

// A physical line longer than the line buffer arrives in pieces; its first
// piece decides, and every piece of it is copied or dropped with it. A NUL
// ends a line's text, so nothing after it is copied.
int filter_start_records()
{
    FILE* in = open_input();
    FILE* out = create_output();
    char line[LINE_MAX_CHARS + 1];
    bool first_piece = true;
    bool keep = false;
    bool copying = false;
    for (;;) {
        int result = get_line(line, in);
        bool at_end = result == INPUT_ENDED;
        if (at_end && first_piece && line[0] == 0) break;
        if (first_piece) keep = copying = keep_record_line(line);
        if (copying) fputs(line, out);
        if (result == LINE_CUT && strlen(line) < LINE_MAX_CHARS) copying = false;
        first_piece = result != LINE_CUT;
        if (first_piece && keep) fputs("\r\n", out);
        if (at_end) break;
    }
    close_input(in);
    close_output(out);
    return 0;
}
