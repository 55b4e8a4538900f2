// -c and -w: the checksum word of a raw image; a record file is handed on
// to checksum_word_records.
#ifndef MARIGOLD_CHECKSUM_WORD_RAW_H
#define MARIGOLD_CHECKSUM_WORD_RAW_H

#include <cstdint>

// The image's first bytes, as read for -c and -w.
enum { IMAGE_SIZE = 65536 };
extern unsigned char Image[IMAGE_SIZE];
extern int32_t ImageLength;

int check_image();
int fix_image();

#endif
