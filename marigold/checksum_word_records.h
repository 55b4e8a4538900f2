// -c and -w on a record file: the checksum word of the image it describes.
#ifndef MARIGOLD_CHECKSUM_WORD_RECORDS_H
#define MARIGOLD_CHECKSUM_WORD_RECORDS_H

int check_records(bool fix);

#endif
