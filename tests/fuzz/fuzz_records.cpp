// Record lines through get_line and process_line, as the dump reads them;
// the first byte chooses option b.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_exit.h"
#include "dump.h"
#include "options.h"
#include "output.h"
#include "records/lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FILE* null_out = fopen("/dev/null", "wb");
    if (size == 0)
        return 0;
    memset(OptionTable, 0, sizeof OptionTable);
    if (data[0] & 1)
        OptionTable[(int)'b'] = "";
    UpperAddress = 0;
    out_set_stream(null_out);
    FILE* in = fmemopen((void*)(data + 1), size - 1, "rb");
    if (size == 1)
        in = fopen("/dev/null", "rb");
    if (setjmp(FuzzExit) == 0) {
        FuzzExitArmed = true;
        char line[LINE_MAX_CHARS + 1];
        int result;
        do {
            result = get_line(line, in);
            if (strlen(line) > LINE_MAX_CHARS)
                abort();
            process_line(line);
        } while (result != -1);
        FuzzExitArmed = false;
    } else if (FuzzExitCode != -1) {
        abort(); // the only fatal exit of the dump is a bad data checksum
    }
    out_flush();
    close_input(in);
    return 0;
}
