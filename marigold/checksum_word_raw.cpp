// The -c and -w modes: the first eight little-endian words of a raw image
// must add up to zero; word 7 (bytes 28 to 31) carries the correction. A
// record file goes to checksum_word_records.cpp instead.
#include "checksum_word_raw.h"
#include "checksum_word_records.h"
#include "image/first_pass.h"
#include "options.h"
#include "output.h"
#include "platform/platform.h"
#include "records/lines.h"

#include <cerrno>
#include <cstdint>

unsigned char Image[IMAGE_SIZE];
int32_t ImageLength;

enum { CHECK_WORDS = 8, FIX_OFFSET = 28 };

static int32_t load_image(FILE* in)
{
    ImageLength = (int32_t)fread(Image, 1, IMAGE_SIZE, in);
    close_input(in);
    return ImageLength;
}

// The correction is patched into the file in place: the file keeps its
// length and every other byte, whatever its size, and is never emptied.
static int32_t save_image()
{
    FILE* file = fopen(InputPath, "r+b");
    if (!file) {
        file_failed("create", InputPath, errno);
        out_exit(1);
    }
    bool failed
        = fseek(file, FIX_OFFSET, SEEK_SET) != 0 || !file_write(Image + FIX_OFFSET, 4, file);
    if (!file_close(file) || failed) {
        file_failed("write", InputPath, FileErrno);
        out_exit(1);
    }
    return ImageLength;
}

static uint32_t image_word(int index)
{
    const unsigned char* p = Image + 4 * index;
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint32_t image_checksum()
{
    uint32_t sum = 0;
    for (int i = 0; i < CHECK_WORDS; i++)
        sum += image_word(i);
    return sum;
}

// Opens the input; null when it is a record file, recognised by a record
// line anywhere in it. Input that can't be read twice (a pipe) is
// taken as a raw image without a look: a look would use it up.
static FILE* raw_input()
{
    FILE* in = open_input();
    if (!file_seekable(in) || !holds_record_line(in)) return in;
    close_input(in);
    return nullptr;
}

int check_image()
{
    FILE* in = raw_input();
    if (!in) return check_records(false);
    load_image(in);
    out_printf("sum=%x\n", image_checksum());
    return 0;
}

// A short image sums with its missing bytes as zero, but a correction that
// reaches past its end could be stored only in part: such a file is refused.
int fix_image()
{
    FILE* in = raw_input();
    if (!in) return check_records(true);
    load_image(in);
    uint32_t sum = image_checksum();
    if (sum != 0 && ImageLength < FIX_OFFSET + 4) {
        out_error("%s: the checksum word (bytes 28 to 31) lies past the end of the %d-byte "
                  "image; not written\n",
            InputPath, (int)ImageLength);
        return 1;
    }
    out_printf("sum=%x\n", sum);
    if (sum == 0) return 0;
    if (!out_ok()) return 1; // the file is not changed behind a lost report
    uint32_t word = image_word(7) - sum;
    for (int i = 0; i < 4; i++)
        Image[FIX_OFFSET + i] = (unsigned char)(word >> (8 * i));
    save_image();
    return 0;
}
