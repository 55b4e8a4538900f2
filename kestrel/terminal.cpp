// terminal.cpp - raw terminal: keys and an optional upload go out, the port comes in.
#include "kestrel.h"
#include "platform.h"

// The upload goes out in blocks small enough that the echoes of one block fit
// the receive queue while it is written; the receive pass between blocks takes them.
static const int UPLOAD_BLOCK = 1024;
static const int TX_UPLOAD = -2; // from next_tx_char: the next upload block is due

static FILE* upload_fp;
static const char* preamble = "\rUB\r";
static int preamble_pos; // 1-based index of the next preamble character; 0 = none
static unsigned char rx_buf[RX_BLOCK];

// -T: the log gets the console's stamps, each line of it starting with the
// time of its first byte. Kept apart from the console's view, which a message
// may break (message_line). With -x the log stays raw.
static rx_view log_view;
static std::string log_text;
static bool stamps; // -T

static bool log_failed; // the warning is given once a session

// Appends to the log file, if one is open. A write that fails (a full disk)
// is reported once; the session goes on without a complete log.
void log_write(const unsigned char* data, int n)
{
    if (!log_fp || n <= 0) return;
    if (fwrite(data, 1, (size_t)n, log_fp) == (size_t)n || log_failed) return;
    log_failed = true;
    const char* path = option_text('l');
    message_line();
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
    if (upload_fp) return TX_UPLOAD;
    return key_poll();
}

// One write of the next upload block; the file is closed after its last one.
static void send_upload_block(void)
{
    unsigned char block[UPLOAD_BLOCK];
    size_t n = fread(block, 1, sizeof block, upload_fp);
    if (n > 0) RS_write(block, (int)n);
    if (n < sizeof block) {
        fclose(upload_fp);
        upload_fp = nullptr;
    }
}

// Takes every byte waiting, up to a buffer: one read, one log write, one
// console write. Returns the count received.
static int receive_block(void)
{
    int n = RS_checkdata();
    if (n <= 0) return 0;
    if (n > RX_BLOCK) n = RX_BLOCK;
    n = RS_read(rx_buf, n);
    plat_time now = {};
    if (stamps) plat_local_time(&now);
    if (log_view.stamps) {
        log_text.clear();
        view_render(&log_view, rx_buf, n, &now, &log_text);
        log_write((const unsigned char*)log_text.data(), (int)log_text.size());
    } else {
        log_write(rx_buf, n);
    }
    console_show(rx_buf, n, &now);
    return n;
}

// A hang-up under -w: the board behind the port has reset, so the rest of
// an upload would reach it with a gap. It is dropped, and the user told.
static void drop_upload(void)
{
    bool cut = upload_fp || preamble_pos != 0;
    preamble_pos = 0;
    if (upload_fp) fclose(upload_fp);
    upload_fp = nullptr;
    if (!cut) return;
    message_line();
    fprintf(
        stderr, "WARNING: upload file cut short by a hang-up:%s\n", upload_path ? upload_path : "");
}

static void end_terminal(void)
{
    plat_sigint(0);
    console_view(false, false);
    RS_close();
    if (upload_fp) fclose(upload_fp);
    upload_fp = nullptr;
}

void TerminalMode(int port, int baud)
{
    upload_fp = nullptr;
    log_failed = false;
    if (upload_path) {
        upload_fp = fopen(upload_path, "rb");
        if (!upload_fp) fprintf(stderr, "WARNING: can't open upload file:%s\n", upload_path);
    }
    // Ctrl-C is ignored from before the banner on: once the banner shows, the
    // terminal is up and an interrupt must not end it. Where keys come from a
    // pipe an interrupt is Ctrl-A, which also ends a wait for the port (-w).
    plat_sigint(1);
    if (!RS_start(port, baud, true)) {
        end_terminal();
        return;
    }
    console_banner("TerminalMode");
    if (option_text('k')) printf("Command key: ^T (^T h lists the commands)\n");
    preamble_pos = option_text('U') ? 1 : 0;
    preamble = option_text('s') ? "\r\r" : "\rUB\r";
    stamps = option_text('T') != nullptr;
    console_view(stamps, option_text('x') != nullptr);
    log_view = rx_view { stamps && !option_text('x'), false, 0 };
    for (;;) {
        int c = next_tx_char();
        bool sent = c >= 0 || c == TX_UPLOAD;
        if (c == TX_UPLOAD) {
            send_upload_block();
        } else if (c >= 0) {
            if (!upload_fp) c = linectl_key(c); // Ctrl-A, and Ctrl-T under -k
            if (c == KEY_END) break;
            if (c >= 0) RS_putc(c);
        }
        int got = receive_block();
        if (RS_hung_up()) {
            drop_upload();
            if (!RS_reconnect(port, baud)) break;
        } else if (got == 0 && !sent) {
            plat_wait(IDLE_WAIT_MS);
        }
    }
    end_terminal();
}
