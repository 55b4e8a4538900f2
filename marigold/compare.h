// The -d mode: two files' images and start addresses compared.
#ifndef MARIGOLD_COMPARE_H
#define MARIGOLD_COMPARE_H

int compare_files();

#endif
