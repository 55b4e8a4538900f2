// terminal.cpp - raw terminal: keys and an optional upload go out, the port comes in.
#include "kestrel.h"
#include "platform.h"

static FILE* upload_fp;
static const char* preamble = "\rUB\r";
static int preamble_pos; // 1-based index of the next preamble character; 0 = none

static bool log_failed; // the warning is given once a session

// Appends to the log file, if one is open. A write that fails (a full disk)
// is reported once; the session goes on without a complete log.
void log_write(const unsigned char* data, int n)
{
    if (!log_fp || n <= 0) return;
    if (fwrite(data, 1, (size_t)n, log_fp) == (size_t)n || log_failed) return;
    log_failed = true;
    const char* path = option_text('l');
    fprintf(stderr, "WARNING: can't write log file:%s\n", path ? path : "");
}

void log_putc(int c)
{
    unsigned char b = (unsigned char)c;
    log_write(&b, 1);
}

int next_tx_char(void)
{
    if (preamble_pos != 0) {
        int c = (unsigned char)preamble[preamble_pos - 1];
        plat_sleep_ms(32);
        preamble_pos++;
        if (c != 0) return c;
        preamble_pos = 0;
    }
    if (upload_fp) {
        int c = fgetc(upload_fp);
        if (c != EOF) return c;
        fclose(upload_fp);
        upload_fp = nullptr;
    }
    return key_poll();
}

void TerminalMode(int port, int baud)
{
    upload_fp = nullptr;
    log_failed = false;
    if (upload_path) {
        upload_fp = fopen(upload_path, "rb");
        if (!upload_fp) fprintf(stderr, "WARNING: can't open upload file:%s\n", upload_path);
    }
    RS_open(port, baud);
    // Ctrl-C is ignored from before the banner on: once the banner shows, the
    // terminal is up and an interrupt must not end it.
    plat_sigint(1);
    printf("Entering TerminalMode: Escape=^%c\n", 'A');
    preamble_pos = option_text('U') ? 1 : 0;
    preamble = option_text('s') ? "\r\r" : "\rUB\r";
    for (;;) {
        int c = next_tx_char();
        if (c >= 0) {
            if (!upload_fp && c == ESCAPE_KEY) break;
            RS_putc(c);
        }
        if (RS_checkdata() > 0) {
            unsigned char b = 0;
            RS_read(&b, 1);
            log_putc(b);
            putchar(b);
        }
    }
    plat_sigint(0);
    RS_close();
}
