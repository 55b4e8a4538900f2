// -K: CRCs and sums over the image as it will be flashed, printed, checked
// against the value stored at an address, stored there (with -x), or
// identified.
#ifndef MARIGOLD_SEAL_H
#define MARIGOLD_SEAL_H

#include "image/image.h"

enum SealResult { SEAL_EQUAL = 0, SEAL_DIFFERS = 1, SEAL_ERROR = 2 };
bool seal_arguments_valid(); // every -K's text parses; else says why
// Every -K in the order given, each over the image with the values stored
// before it; store: -x's, where @ADDR stores rather than checks.
SealResult seal_image(ImageRuns* image, bool store);
int checksum_file(); // marigold -K... IN...

#endif
