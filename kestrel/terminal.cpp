// terminal.cpp - raw terminal: keys and an optional upload go out, the port comes in.
#include "terminal.h"
#include "byte_queue.h"
#include "channel.h"
#include "console.h"
#include "keys.h"
#include "linectl.h"
#include "options.h"
#include "platform/platform.h"
#include "transfer.h"
#include "view.h"
#include <cstdio>
#include <string>

// The upload goes out in blocks small enough that the echoes of one block fit
// the receive queue while it is written; the receive pass between blocks takes them.
static const int UPLOAD_BLOCK = 1024;
// Keys read ahead while the port holds output back; past this many the
// console keeps the rest.
static const size_t KEYS_AHEAD = 1 << 20;

static bool uploading; // the upload source is open
static byte_queue keys_ahead; // typed keys read ahead
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

// Past the cap the console keeps the keys: waits no longer end for them,
// and only an interrupt (where keys come from a pipe) is still seen.
static bool ahead_full(void)
{
    bool full = bq_size(&keys_ahead) >= KEYS_AHEAD;
    plat_keys_hold(full);
    return full;
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
    if (uploading) return TX_UPLOAD;
    if (bq_size(&keys_ahead) > 0) {
        int c = *bq_front(&keys_ahead);
        bq_drop(&keys_ahead, 1);
        plat_keys_hold(0); // below the cap again
        return c;
    }
    return key_poll();
}

// A command typed behind keys read ahead acts now: those keys join the
// port's queue ahead of it, which the command waits for as long as it would
// for any output (a board that holds XOFF can still be reset). False when
// Ctrl-A ended the command.
static bool command_now(int key)
{
    for (; bq_size(&keys_ahead) > 0; bq_drop(&keys_ahead, 1)) {
        int c = linectl_key(*bq_front(&keys_ahead));
        if (c == KEY_END) return false;
        if (c >= 0) RS_putc(c);
    }
    plat_keys_hold(0);
    return linectl_key(key) != KEY_END;
}

// While the port holds output back, the keyboard is read ahead, so that
// Ctrl-A is seen at once whatever the port does; the other keys keep their
// turn. True when Ctrl-A came. Under -k, the key after Ctrl-T is a command
// (Ctrl-T Ctrl-A sends 0x01, and keeps its turn too); a command on the lines
// acts at once, outside an upload. With nothing read ahead, the command
// key's state is the one the keys sent so far left.
static bool escape_ahead(void)
{
    static bool after_command_key;
    if (bq_size(&keys_ahead) == 0) after_command_key = linectl_command_pending();
    while (!ahead_full()) {
        int k = key_poll();
        if (k < 0) return false;
        if (k == ESCAPE_KEY && !after_command_key) return true;
        if (after_command_key && linectl_acts_alone(k) && !uploading && preamble_pos == 0) {
            if (!command_now(k)) return true;
            after_command_key = false;
            continue;
        }
        after_command_key = key_makes_command(after_command_key, k);
        unsigned char b = (unsigned char)k;
        bq_push(&keys_ahead, &b, 1);
    }
    return plat_key_poll() == ESCAPE_KEY; // held: an interrupt only
}

static void close_upload(void)
{
    if (uploading) plat_upload_close();
    uploading = false;
}

bool upload_start(const char* path)
{
    close_upload();
    uploading = plat_upload_open(path) == 0;
    return uploading;
}

int send_upload_block(void)
{
    unsigned char block[UPLOAD_BLOCK];
    int n = plat_upload_read(block, UPLOAD_BLOCK);
    if (n > 0) RS_write(block, n);
    if (n == 0) close_upload();
    return n > 0 ? 1 : n;
}

void receive_start(void)
{
    log_failed = false;
    stamps = option_text('T') != nullptr;
    console_view(stamps, option_text('x') != nullptr);
    log_view = rx_view { stamps && !option_text('x'), false, 0 };
}

int receive_block(const unsigned char** got)
{
    int n = RS_read(rx_buf, RX_BLOCK);
    if (got) *got = rx_buf;
    if (n <= 0) return 0;
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

// A hang-up under -w (the board behind the port has reset, so the rest of
// an upload would reach it with a gap) or Ctrl-A: the upload is dropped, and
// the user told.
void drop_upload(const char* by)
{
    bool cut = uploading || preamble_pos != 0;
    preamble_pos = 0;
    close_upload();
    if (!cut) return;
    message_line();
    fprintf(
        stderr, "WARNING: upload file cut short by %s:%s\n", by, upload_path ? upload_path : "");
}

static void end_terminal(void)
{
    plat_sigint(0);
    console_view(false, false);
    RS_close();
    close_upload();
    bq_clear(&keys_ahead);
    plat_keys_hold(0);
}

// The terminal on an open port, until Ctrl-A or the port's end.
static void terminal_loop(int port, int baud)
{
    if (option_text('k')) printf("Command key: ^T (^T h lists the commands)\n");
    preamble_pos = option_text('U') && uploading ? 1 : 0;
    preamble = option_text('s') ? "\r\r" : "\rUB\r";
    receive_start();
    for (;;) {
        // Output waits while the port holds back what it already has;
        // received bytes go on flowing to the console and the log meanwhile.
        bool sent = RS_flush() > 0;
        if (RS_pending() > 0) {
            if (escape_ahead()) {
                drop_upload("Ctrl-A");
                break;
            }
        } else {
            int c = next_tx_char();
            if (c == TX_UPLOAD) {
                int r = send_upload_block();
                if (r < 0 && escape_ahead()) { // a source that holds back, as a port does
                    drop_upload("Ctrl-A");
                    break;
                }
                sent = r >= 0;
            } else if (c >= 0) {
                if (!uploading) c = linectl_key(c); // Ctrl-A, and Ctrl-T under -k
                if (c == KEY_END) break;
                if (c >= 0) RS_putc(c);
                sent = true;
            }
        }
        int got = receive_block(nullptr);
        if (RS_hung_up()) {
            drop_upload("a hang-up");
            if (!RS_reconnect(port, baud)) break;
        } else if (got == 0 && !sent) {
            // Only an upload source that holds back has no event to wake the wait.
            RS_wait(uploading ? IDLE_WAIT_MS : NO_DEADLINE, true);
        }
    }
}

// Opened before anything goes out: a -U whose file can't be read sends no
// preamble either. The open never waits (a FIFO without a writer).
static void open_upload_option(void)
{
    uploading = false;
    if (upload_path && !upload_start(upload_path))
        fprintf(stderr, "WARNING: can't open upload file:%s\n", upload_path);
}

void TerminalMode(int port, int baud)
{
    open_upload_option();
    // Ctrl-C is ignored from before the banner on: once the banner shows, the
    // terminal is up and an interrupt must not end it. Where keys come from a
    // pipe an interrupt is Ctrl-A, which also ends a wait for the port (-w).
    plat_sigint(1);
    transfer_port(port, baud);
    transfer_commands_on();
    transfer_result before;
    if (!session_open(port, baud, false, &before)) {
        end_terminal();
        return;
    }
    console_banner("TerminalMode");
    terminal_loop(port, baud);
    end_terminal();
}

void terminal_interact(int port, int baud)
{
    open_upload_option();
    plat_sigint(1);
    plat_keys_hold(0);
    transfer_commands_on();
    message_line();
    console_banner("TerminalMode");
    terminal_loop(port, baud);
    end_terminal();
}
