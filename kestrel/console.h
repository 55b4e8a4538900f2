// console.h - received bytes to stdout; messages on a line of their own.
#ifndef KESTREL_CONSOLE_H
#define KESTREL_CONSOLE_H

struct plat_time;

void console_banner(const char* mode);
void console_show(const unsigned char* data, int n, const plat_time* at = nullptr);
void message_line(void);
void console_view(bool stamps, bool hex);

#endif
