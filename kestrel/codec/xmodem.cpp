// xmodem.cpp - XMODEM and YMODEM, sender and receiver, as a codec: see
// xmodem.h. A block on the wire: SOH (128 bytes) or STX (1024), the block
// number, its complement, the data, then the checksum (one byte) or the
// CRC-16 (two, high byte first).
#include "codec/xmodem.h"
#include <cstdio>
#include <cstring>

// WANT_CRC: the receiver's NAK that asks for CRC-16.
enum {
    SOH = 0x01,
    STX = 0x02,
    EOT = 0x04,
    ACK = 0x06,
    BS = 0x08,
    NAK = 0x15,
    CAN = 0x18,
    WANT_CRC = 'C'
};
static const unsigned char CPMEOF = 0x1a; // pads the last block
static const int ABORT_CANS = 8; // more than two, as one may fall inside a block the peer reads
static const int CANCEL_RUN = 5; // CANs in a row that cancel when they fall inside a block

enum {
    SP_FIRST, // sender: waits for 'C' or NAK before a file (YMODEM: before its block 0)
    SP_DATA_C, // sender, YMODEM: block 0 was taken; waits for 'C' before the data
    SP_READ, // sender: waits for xm_give
    SP_ACK, // sender: a block went out; waits for its ACK
    SP_EOT, // sender: EOT went out; waits for its ACK
    RP_WAIT, // receiver: waits for a block or EOT
    RP_BLOCK, // receiver: a block is coming in
    RP_PURGE, // receiver: a bad block; waits for the line to go quiet, then NAKs
    XP_END // done or failed
};

unsigned xm_crc16(const unsigned char* p, int n, unsigned crc)
{
    for (int i = 0; i < n; i++) {
        crc ^= (unsigned)p[i] << 8;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return crc & 0xffff;
}

static unsigned char checksum(const unsigned char* p, int n)
{
    unsigned sum = 0;
    for (int i = 0; i < n; i++)
        sum += p[i];
    return (unsigned char)sum;
}

static xm_event new_event(const xm_state* x, xm_event_kind kind)
{
    xm_event ev {};
    ev.kind = kind;
    ev.file = x->file;
    ev.name = x->name;
    ev.size = x->size;
    ev.mtime = x->mtime;
    ev.offset = x->bytes;
    return ev;
}

static void push_event(xm_state* x, xm_event_kind kind)
{
    x->events.push_back(new_event(x, kind));
}

static void cancel_bytes(std::string* out)
{
    out->append(ABORT_CANS, (char)CAN);
    // Backspaces wipe the CANs off a command line that got them instead.
    out->append(ABORT_CANS, (char)BS);
}

static void finish(xm_state* x, xm_event_kind kind)
{
    x->phase = XP_END;
    push_event(x, kind);
    if (kind == XE_FAILED) x->events.back().reason = x->reason;
}

static void fail(xm_state* x, const std::string& reason, std::string* out)
{
    x->reason = reason;
    if (out) cancel_bytes(out);
    finish(x, XE_FAILED);
}

static std::string retries_text(long block)
{
    return std::to_string((int)XM_RETRIES) + " retries on block " + std::to_string(block);
}

// Two CANs in a row from the peer end the transfer.
static bool cancelled(xm_state* x, unsigned char c, const char* reason)
{
    if (c != CAN) {
        x->cans = 0;
        return false;
    }
    if (++x->cans < 2) return false;
    fail(x, reason, nullptr);
    return true;
}

static void reset_state(xm_state* x, xm_protocol p, bool sending, long long now)
{
    *x = xm_state {};
    x->protocol = p;
    x->sending = sending;
    x->crc = true;
    x->started = now;
    x->file = -1;
    x->size = -1;
}

// ---- Sender

static std::string last_component(const std::string& path)
{
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// A block of size bytes around data, padded with CPMEOF, framed and summed.
static void frame_block(
    xm_state* x, const unsigned char* data, int len, int size, unsigned char pad)
{
    std::string& b = x->packet;
    b.assign(1, (char)(size == 1024 ? STX : SOH));
    b += (char)(x->block & 0xff);
    b += (char)(~x->block & 0xff);
    b.append((const char*)data, (size_t)len);
    b.append((size_t)(size - len), (char)pad);
    const unsigned char* body = (const unsigned char*)b.data() + 3;
    if (x->crc) {
        unsigned crc = xm_crc16(body, size, 0);
        b += (char)(crc >> 8);
        b += (char)(crc & 0xff);
    } else {
        b += (char)checksum(body, size);
    }
}

// YMODEM's all-zero block 0 after the last file.
static bool end_block(const xm_state* x)
{
    return x->phase == SP_ACK && x->block == 0 && x->file >= (int)x->files.size();
}

static void send_packet(xm_state* x, int phase, long long now, std::string* out)
{
    out->append(x->packet);
    x->phase = phase;
    // The receiver asks again within 10 s for an end block that got lost:
    // waiting twice that, silence means it took the block and left.
    x->deadline = now + (end_block(x) ? 2 * XM_BLOCK_MS : XM_BLOCK_MS);
}

// Block 0: the name, a NUL, then the size in decimal and the mtime in
// octal; all zeros ends the batch. 1K only when the name needs it.
static void send_block0(xm_state* x, long long now, std::string* out)
{
    std::string info;
    if (x->file < (int)x->files.size()) {
        char nums[64];
        snprintf(nums, sizeof nums, "%lld %llo", x->size, (unsigned long long)x->mtime);
        info = last_component(x->name) + '\0' + nums;
    }
    int size = info.size() < 128 ? 128 : 1024;
    if (info.size() >= 1024) info.resize(1023);
    x->block = 0;
    x->tries = 0;
    frame_block(x, (const unsigned char*)info.data(), (int)info.size(), size, 0);
    send_packet(x, SP_ACK, now, out);
}

static void send_eot(xm_state* x, long long now, std::string* out)
{
    x->packet.assign(1, (char)EOT);
    x->tries = 0;
    x->eot_nak = false;
    send_packet(x, SP_EOT, now, out);
}

static int block_size(const xm_state* x)
{
    // 1K blocks need CRC; a short tail goes in 128-byte blocks, which cost
    // less on the wire while it fits in seven of them.
    if (x->protocol == XM_XMODEM || !x->crc) return 128;
    return x->size - x->bytes > 896 ? 1024 : 128;
}

// Asks the caller for the next block's data, or ends the file.
static void next_block(xm_state* x, long long now, std::string* out)
{
    if (x->bytes >= x->size) {
        send_eot(x, now, out);
        return;
    }
    long long left = x->size - x->bytes;
    int size = block_size(x);
    x->chunk = left < size ? (int)left : size;
    x->block++;
    x->tries = 0;
    x->phase = SP_READ;
    push_event(x, XE_READ);
    x->events.back().len = x->chunk;
}

static void begin_file(xm_state* x, long long now, std::string* out)
{
    x->file++;
    x->bytes = 0;
    if (x->file < (int)x->files.size()) {
        const xm_file& f = x->files[x->file];
        x->name = f.name;
        x->size = f.size;
        x->mtime = f.mtime;
        push_event(x, XE_FILE_START);
    }
    if (x->protocol == XM_YMODEM) {
        send_block0(x, now, out);
        return;
    }
    x->block = 0;
    next_block(x, now, out);
}

void xm_send_start(xm_state* x, xm_protocol p, const std::vector<xm_file>& files, long long now)
{
    reset_state(x, p, true, now);
    x->files = files;
    if (p != XM_YMODEM && x->files.size() > 1) x->files.resize(1);
    x->phase = SP_FIRST;
    x->deadline = now + XM_START_MS;
    if (x->files.empty() && p != XM_YMODEM) fail(x, "no file to send", nullptr);
}

void xm_give(xm_state* x, const unsigned char* data, int len, long long now, std::string* out)
{
    if (x->phase != SP_READ) return;
    if (len != x->chunk) {
        fail(x, x->name + " changed while being sent", out);
        return;
    }
    frame_block(x, data, len, block_size(x), CPMEOF);
    send_packet(x, SP_ACK, now, out);
}

static void block_taken(xm_state* x, long long now, std::string* out)
{
    x->cans = 0;
    if (x->block > 0) {
        x->bytes += x->chunk;
        x->total += x->chunk;
        next_block(x, now, out);
    } else if (x->file >= (int)x->files.size()) {
        finish(x, XE_DONE);
    } else {
        x->phase = SP_DATA_C;
        x->started = now;
        x->deadline = now + XM_START_MS;
    }
}

static void file_taken(xm_state* x, long long now)
{
    push_event(x, XE_FILE_END);
    if (x->protocol != XM_YMODEM) {
        finish(x, XE_DONE);
        return;
    }
    x->phase = SP_FIRST;
    x->started = now;
    x->deadline = now + XM_START_MS;
}

// A resend after a NAK or a time-out; false when the block ran out of retries.
static bool resend(xm_state* x, long long now, std::string* out)
{
    x->retries++;
    if (++x->tries > XM_RETRIES) {
        if (x->phase == SP_EOT)
            fail(x, "no answer to the end of " + x->name, out);
        else if (x->block == 0)
            fail(x, retries_text(0) + " (does the receiver take YMODEM?)", out);
        else
            fail(x, retries_text(x->block), out);
        return false;
    }
    send_packet(x, x->phase, now, out);
    return true;
}

static void sender_take(xm_state* x, unsigned char c, long long now, std::string* out)
{
    if (cancelled(x, c, "cancelled by the receiver")) return;
    switch (x->phase) {
    case SP_FIRST:
        if (c == WANT_CRC || (c == NAK && x->protocol != XM_YMODEM)) {
            x->crc = c == WANT_CRC;
            begin_file(x, now, out);
        } else if (c == NAK) {
            x->saw_nak = true;
        }
        break;
    case SP_DATA_C:
        if (c == WANT_CRC || c == NAK) next_block(x, now, out);
        break;
    case SP_ACK:
        if (c == ACK)
            block_taken(x, now, out);
        else if (c == NAK || (c == WANT_CRC && end_block(x)))
            resend(x, now, out);
        break;
    case SP_EOT:
        if (c == ACK) {
            file_taken(x, now);
        } else if (c == NAK) {
            // A receiver may NAK the first EOT by rule (YMODEM's do): not a retry.
            if (!x->eot_nak) {
                x->eot_nak = true;
                send_packet(x, SP_EOT, now, out);
            } else {
                resend(x, now, out);
            }
        }
        break;
    }
}

static void sender_poll(xm_state* x, long long now, std::string* out)
{
    if (x->phase == SP_FIRST || x->phase == SP_DATA_C) {
        if (x->phase == SP_FIRST && x->protocol == XM_YMODEM && x->saw_nak && x->file < 0)
            fail(x, "the receiver asks for XMODEM with the checksum, not YMODEM", out);
        else
            fail(x, "no answer within " + std::to_string(XM_START_MS / 1000) + " s", out);
    } else if (end_block(x)) {
        // Every file was taken: the receiver took the end block and left,
        // and only its ACK got lost.
        finish(x, XE_DONE);
    } else if (x->phase == SP_ACK || x->phase == SP_EOT) {
        resend(x, now, out);
    }
}

// ---- Receiver

bool xm_safe_name(const std::string& sent, std::string* name)
{
    *name = last_component(sent);
    if (name->empty() || *name == "." || *name == "..") return false;
    for (unsigned char c : *name)
        if (c < 0x20 || c == 0x7f || c == ':') return false;
    return true;
}

// What asks for a block when none came in time: 'C' while YMODEM awaits a
// block 0 or the first data block after it (its sender waits for a 'C'
// there), or before any block came; else NAK.
static void ask(xm_state* x, std::string* out)
{
    bool first = !x->heard || (x->protocol == XM_YMODEM && x->block <= 1);
    *out += (char)(x->crc && first ? WANT_CRC : NAK);
}

static void wait_block(xm_state* x, long long now)
{
    x->phase = RP_WAIT;
    x->cans = 0;
    x->deadline = now + XM_BLOCK_MS;
}

void xm_recv_start(xm_state* x, xm_protocol p, long long now, std::string* out)
{
    reset_state(x, p, false, now);
    x->protocol = p == XM_XMODEM_1K ? XM_XMODEM : p; // a receiver takes both sizes
    x->block = p == XM_YMODEM ? 0 : 1;
    x->tries = 1;
    *out += (char)WANT_CRC;
    x->phase = RP_WAIT;
    x->deadline = now + XM_C_MS;
}

// A bad block (NAK) or none in time (ask again): another try, or the end.
static void reject(xm_state* x, bool bad_block, long long now, std::string* out)
{
    x->retries++;
    if (++x->tries > XM_RETRIES) {
        fail(x, retries_text(x->block), out);
        return;
    }
    if (bad_block)
        *out += (char)NAK;
    else
        ask(x, out);
    wait_block(x, now);
}

// Block 0: "name NUL size mtime ..." with the numbers optional; all zeros
// ends the batch.
static void take_block0(xm_state* x, const unsigned char* body, int size, std::string* out)
{
    if (body[0] == 0) {
        *out += (char)ACK;
        finish(x, XE_DONE);
        return;
    }
    std::string sent((const char*)body, strnlen((const char*)body, (size_t)size));
    std::string name;
    if (!xm_safe_name(sent, &name)) {
        fail(x, "unsafe file name in block 0: \"" + sent + "\"", out);
        return;
    }
    std::string info;
    if ((int)sent.size() + 1 < size) {
        const char* numbers = (const char*)body + sent.size() + 1;
        info.assign(numbers, strnlen(numbers, (size_t)(size - (int)sent.size() - 1)));
    }
    long long fsize = -1;
    unsigned long long mtime = 0;
    if (sscanf(info.c_str(), "%lld %llo", &fsize, &mtime) < 1 || fsize < 0) fsize = -1;
    x->file++;
    x->name = name;
    x->size = fsize;
    x->mtime = (long long)mtime;
    x->bytes = 0;
    x->eot_nak = false;
    push_event(x, XE_FILE_START);
    *out += (char)ACK;
    *out += (char)WANT_CRC;
}

static void take_data(xm_state* x, const unsigned char* body, int size)
{
    if (x->file < 0) { // XMODEM's file starts with its first block
        x->file = 0;
        push_event(x, XE_FILE_START);
    }
    // YMODEM told the size: the padding of the last block is dropped.
    int len = size;
    if (x->size >= 0 && x->size - x->bytes < len)
        len = x->size - x->bytes < 0 ? 0 : (int)(x->size - x->bytes);
    if (len > 0) {
        push_event(x, XE_DATA);
        x->events.back().data = body;
        x->events.back().len = len;
    }
    x->bytes += len;
    x->total += len;
}

static void take_block(xm_state* x, long long now, std::string* out)
{
    const unsigned char* b = (const unsigned char*)x->packet.data();
    int size = b[0] == STX ? 1024 : 128;
    const unsigned char* body = b + 3;
    bool sound = (b[1] ^ b[2]) == 0xff
        && (x->crc ? xm_crc16(body, size, 0) == (unsigned)(b[3 + size] << 8 | b[4 + size])
                   : checksum(body, size) == b[3 + size]);
    if (!sound) {
        x->phase = RP_PURGE;
        x->deadline = now + XM_CHAR_MS;
        return;
    }
    unsigned char want = (unsigned char)(x->block & 0xff);
    if (b[1] == want) {
        x->heard = true;
        x->tries = 0;
        if (x->protocol == XM_YMODEM && x->block == 0) {
            take_block0(x, body, size, out);
        } else {
            take_data(x, body, size);
            *out += (char)ACK;
        }
        x->block++;
        if (x->phase != XP_END) wait_block(x, now);
    } else if (x->heard && b[1] == (unsigned char)(want - 1)) {
        // Our ACK got lost: the sender repeats the block, which we have.
        x->retries++;
        *out += (char)ACK;
        if (x->protocol == XM_YMODEM && x->block == 1) *out += (char)WANT_CRC;
        wait_block(x, now);
    } else if (!x->heard && x->protocol == XM_YMODEM && b[1] == 1) {
        fail(x, "the sender uses XMODEM, not YMODEM", out);
    } else if (!x->heard && x->protocol == XM_XMODEM && b[1] == 0) {
        fail(x, "the sender uses YMODEM, not XMODEM", out);
    } else {
        reject(x, true, now, out);
    }
}

static void take_eot(xm_state* x, long long now, std::string* out)
{
    if (x->protocol == XM_XMODEM) {
        if (x->file < 0) { // an empty file
            x->file = 0;
            push_event(x, XE_FILE_START);
        }
        *out += (char)ACK;
        push_event(x, XE_FILE_END);
        finish(x, XE_DONE);
        return;
    }
    if (x->block == 0) {
        // Between files the sender repeats an EOT whose ACK got lost.
        if (x->file >= 0) *out += std::string { (char)ACK, (char)WANT_CRC };
        return;
    }
    // YMODEM NAKs the first EOT, which a line hit could fake, and ACKs the second.
    if (!x->eot_nak) {
        x->eot_nak = true;
        *out += (char)NAK;
        wait_block(x, now);
        return;
    }
    if (x->size >= 0 && x->bytes < x->size) {
        fail(x,
            "the sender ended " + x->name + " at " + std::to_string(x->bytes) + " of "
                + std::to_string(x->size) + " bytes",
            out);
        return;
    }
    *out += std::string { (char)ACK, (char)WANT_CRC };
    push_event(x, XE_FILE_END);
    x->block = 0;
    x->eot_nak = false;
    wait_block(x, now);
}

// A sender that cancels inside a block cuts it short or ends it with its
// CANs; a good block may hold any bytes, so the run counts only once the
// block turned out bad.
static void count_cans(xm_state* x, unsigned char c)
{
    x->cans = c == CAN ? x->cans + 1 : 0;
    if (x->cans > x->can_run) x->can_run = x->cans;
}

static void receiver_take(xm_state* x, unsigned char c, long long now, std::string* out)
{
    if (x->phase == RP_PURGE) {
        count_cans(x, c);
        x->deadline = now + XM_CHAR_MS;
        return;
    }
    if (x->phase == RP_BLOCK) {
        count_cans(x, c);
        x->packet += (char)c;
        x->deadline = now + XM_CHAR_MS;
        if ((int)x->packet.size() == x->packet_len) take_block(x, now, out);
        return;
    }
    if (cancelled(x, c, "cancelled by the sender")) return;
    if (c == SOH || c == STX) {
        x->packet.assign(1, (char)c);
        x->can_run = 0;
        x->packet_len = 3 + (c == STX ? 1024 : 128) + (x->crc ? 2 : 1);
        x->phase = RP_BLOCK;
        x->deadline = now + XM_CHAR_MS;
    } else if (c == EOT) {
        take_eot(x, now, out);
    }
}

static void receiver_poll(xm_state* x, long long now, std::string* out)
{
    if (x->phase == RP_BLOCK || x->phase == RP_PURGE) {
        // A block cut short, or the quiet after a bad one.
        if (x->can_run >= CANCEL_RUN)
            fail(x, "cancelled by the sender", nullptr);
        else
            reject(x, true, now, out);
        return;
    }
    if (x->heard) {
        reject(x, false, now, out);
        return;
    }
    if (now - x->started >= XM_START_MS) {
        fail(x, "no answer within " + std::to_string(XM_START_MS / 1000) + " s", out);
        return;
    }
    // Before the first block: 'C' a few times, then XMODEM falls back to NAK
    // and the checksum.
    x->tries++;
    if (x->protocol == XM_XMODEM && x->tries > XM_C_TRIES) x->crc = false;
    *out += (char)(x->crc ? WANT_CRC : NAK);
    x->deadline = now + (x->crc ? XM_C_MS : XM_NAK_MS);
    if (x->deadline > x->started + XM_START_MS) x->deadline = x->started + XM_START_MS;
}

// ---- Both

int xm_input(xm_state* x, const unsigned char* in, int n, long long now, std::string* out)
{
    int i = 0;
    while (i < n && x->events.empty()) {
        if (x->phase == XP_END) return n; // whatever follows the end is not ours
        if (x->phase == SP_READ) break;
        if (x->sending)
            sender_take(x, in[i], now, out);
        else
            receiver_take(x, in[i], now, out);
        i++;
    }
    return i;
}

void xm_poll(xm_state* x, long long now, std::string* out)
{
    if (x->phase == XP_END || x->phase == SP_READ || now < x->deadline) return;
    if (x->sending)
        sender_poll(x, now, out);
    else
        receiver_poll(x, now, out);
}

long long xm_deadline(const xm_state* x)
{
    if (x->phase == XP_END || x->phase == SP_READ) return -1;
    return x->deadline;
}

bool xm_next_event(xm_state* x, xm_event* ev)
{
    if (x->events.empty()) return false;
    *ev = x->events.front();
    x->events.pop_front();
    return true;
}

void xm_abort(xm_state* x, const char* reason, std::string* out)
{
    if (x->phase != XP_END) fail(x, reason, out);
}

bool xm_finished(const xm_state* x)
{
    return x->phase == XP_END;
}
