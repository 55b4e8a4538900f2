// The -f mode: an Intel HEX file copied without its start records.
#ifndef MARIGOLD_FILTER_H
#define MARIGOLD_FILTER_H

int filter_start_records();
int keep_record_line(const char* line);

#endif
