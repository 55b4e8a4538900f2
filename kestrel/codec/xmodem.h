// xmodem.h - XMODEM (checksum, CRC-16, 1K blocks) and YMODEM batch, both
// ways, as a codec: the peer's bytes and the time in, bytes for the peer and
// events out. No I/O: the caller reads and writes the files, the port and
// the clock, names the files on disk and never lets the codec overwrite one.
#ifndef KESTREL_XMODEM_H
#define KESTREL_XMODEM_H

#include <deque>
#include <string>
#include <vector>

enum xm_protocol {
    XM_XMODEM, // 128-byte blocks, CRC-16 or the checksum as the receiver asks
    XM_XMODEM_1K, // 1K blocks (128-byte ones for a short tail) with CRC-16
    XM_YMODEM // batch: block 0 names each file; 1K blocks with CRC-16
};

enum xm_event_kind {
    XE_FILE_START, // name, size (-1 unknown), mtime (0 unknown)
    XE_READ, // sender: the caller answers with xm_give(len bytes at offset)
    XE_DATA, // receiver: len bytes at offset to write (valid until the next call)
    XE_FILE_END, // the file went through complete
    XE_DONE, // the transfer ended well
    XE_FAILED // the transfer ended with reason
};

struct xm_event {
    xm_event_kind kind;
    int file; // index of the file (the sender's list, or counted as received)
    std::string name;
    long long size;
    long long mtime;
    long long offset;
    const unsigned char* data;
    int len;
    std::string reason;
};

// A file to send: name (only its last component goes into block 0), size
// in bytes, mtime in seconds since 1970 (0 unknown).
struct xm_file {
    std::string name;
    long long size;
    long long mtime;
};

struct xm_state {
    xm_protocol protocol;
    bool sending;
    int phase; // where the transfer stands (xmodem.cpp)
    bool crc; // CRC-16, not the checksum
    long long deadline; // ms: when the current wait runs out
    long long started; // ms: when the current wait for the peer began
    int tries; // of the current block or request
    int cans; // consecutive CANs from the peer
    int can_run; // receiver: the longest run of CANs in the block coming in and the purge after it
    long block; // number of the current block (counting on past 255)
    std::string packet; // sender: the block as last sent; receiver: the block coming in
    int packet_len; // receiver: the whole block's length
    int chunk; // sender: the file bytes in the block awaiting its ACK
    bool heard; // receiver: a good block came
    bool saw_nak; // sender: a NAK came while YMODEM waited for 'C'
    bool eot_nak; // a NAK answered the first EOT
    std::vector<xm_file> files; // sender's list
    std::deque<xm_event> events; // ready for the caller
    // Progress, for the caller's display:
    int file; // index of the current file, -1 before the first
    std::string name; // its name (a receiver's XMODEM file has none)
    long long size; // its size, -1 unknown
    long long mtime; // its mtime, 0 unknown
    long long bytes; // bytes of this file sent or received so far
    long long total; // bytes of all files so far
    int retries; // of the whole transfer
    std::string reason; // why it failed
};

// Time-outs in milliseconds.
enum {
    XM_START_MS = 60000, // longest wait for the peer's first answer
    XM_BLOCK_MS = 10000, // sender: for an ACK; receiver: for the next block
    XM_C_MS = 3000, // receiver: a 'C' goes unanswered this long ...
    XM_C_TRIES = 3, // ... this often, then NAK asks for the checksum
    XM_NAK_MS = 10000, // receiver: NAKs at start come this far apart
    XM_CHAR_MS = 1000, // inside a block, and the quiet that ends a bad one
    XM_RETRIES = 10 // per block
};

// The CRC-16 of XMODEM (polynomial 0x1021, start 0), continued from crc.
unsigned xm_crc16(const unsigned char* p, int n, unsigned crc);

// Starts sending files (XMODEM: exactly one) to a receiver that asks first.
void xm_send_start(xm_state* x, xm_protocol p, const std::vector<xm_file>& files, long long now);
// Starts receiving: out gets the first request ('C').
void xm_recv_start(xm_state* x, xm_protocol p, long long now, std::string* out);
// Takes bytes from the peer; returns how many it took, fewer when an event
// became ready (take the events, then feed the rest).
int xm_input(xm_state* x, const unsigned char* in, int n, long long now, std::string* out);
// Lets time pass: a wait that ran out retries or fails.
void xm_poll(xm_state* x, long long now, std::string* out);
// When xm_poll has something to do (the caller may sleep until then).
long long xm_deadline(const xm_state* x);
// The next event for the caller; false when there is none.
bool xm_next_event(xm_state* x, xm_event* ev);
// The answer to XE_READ: exactly the len bytes it asked for.
void xm_give(xm_state* x, const unsigned char* data, int len, long long now, std::string* out);
// Ends the transfer at once (Ctrl-A, a file error): the peer gets CANs.
void xm_abort(xm_state* x, const char* reason, std::string* out);
// True once XE_DONE or XE_FAILED was queued.
bool xm_finished(const xm_state* x);

// A name from a block 0 cut to its last component; false when what is left
// is not a safe plain file name.
bool xm_safe_name(const std::string& sent, std::string* name);

#endif
