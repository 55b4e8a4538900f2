// view.h - received bytes with -T time stamps and as the -x hex view.
#ifndef KESTREL_VIEW_H
#define KESTREL_VIEW_H

#include <string>

struct plat_time;

struct rx_view {
    bool stamps; // each line starts with the local time of its first byte
    bool hex; // hex pairs, 16 to a line
    int on_line; // pairs on the open hex line (text: 1 while a line is open); 0 at a line start
};
void view_render(
    rx_view* v, const unsigned char* data, int n, const plat_time* at, std::string* out);

#endif
