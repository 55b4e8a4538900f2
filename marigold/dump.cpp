// What the dump prints for each record: Intel HEX records by type, S1/S2/S3
// data, and the rows of sixteen bytes both share.
#include "dump.h"
#include "options.h"
#include "output.h"
#include "records/lines.h"

uint32_t UpperAddress;

// Data of an Intel record start at index 4; a length byte above this would
// reach past the end of RecordBytes.
enum { INTEL_DATA_MAX = RECORD_BYTES_SIZE - 4 };

static uint32_t big_endian(const unsigned char* bytes, int width)
{
    uint32_t value = 0;
    for (int i = 0; i < width; i++)
        value = value << 8 | bytes[i];
    return value;
}

void intel_record(int type, const unsigned char* bytes, int count)
{
    switch (type) {
    case 0x00:
        data_record(bytes, count);
        break;
    case 0x01:
        break;
    case 0x04:
        UpperAddress = (uint32_t)bytes[4] << 24 | (uint32_t)bytes[5] << 16;
        break;
    case 0x05:
        out_printf(":scmd=5 start=%x\n", big_endian(bytes + 4, 4));
        out_printf("scmd=%x\n", type);
        break;
    default:
        out_printf("scmd=%x\n", type);
        break;
    }
}

static void check_data_record(const unsigned char* bytes, int count)
{
    uint32_t sum = 0;
    for (int i = 0; i < count; i++)
        sum += bytes[i];
    if (sum & 0xff) {
        out_error("HEX RECORD Checksum Error! sum=%x\n", sum);
        out_exit(-1);
    }
}

void data_record(const unsigned char* bytes, int count)
{
    if (count > 0) check_data_record(bytes, count);
    int n = bytes[0] > (int)INTEL_DATA_MAX ? (int)INTEL_DATA_MAX : bytes[0];
    uint32_t address = big_endian(bytes + 1, 2);
    const unsigned char* data = bytes + 4;
    if (!option_given('b')) {
        dump_rows(UpperAddress | address, data, n);
        return;
    }
    for (int i = 0; i < n; i++) {
        out_hex(UpperAddress | (address + i), 4);
        out_byte(data[i]);
        out_newline();
    }
}

void srec_record(int width, const unsigned char* bytes, int count)
{
    int byte_count = bytes[0];
    uint32_t address = big_endian(bytes + 1, width);
    const unsigned char* data = bytes + 1 + width;
    int n = byte_count - width - 1;
    if (count - 1 != byte_count)
        out_printf("WARNING:record length mismatch:%d != %d\n", byte_count, count - 1);
    if (n > 16) {
        dump_rows(address, data, n);
        return;
    }
    out_hex(address, 6);
    if (n > 0) out_bytes(data, n);
    out_newline();
}

void dump_rows(uint32_t address, const unsigned char* data, int32_t n)
{
    while (n >= 16) {
        dump_row(address, data, 16);
        address += 16;
        data += 16;
        n -= 16;
    }
    if (n > 0) dump_row(address, data, n);
}

void dump_row(uint32_t address, const unsigned char* data, int k)
{
    out_hex(address, 4);
    out_str(":");
    out_bytes(data, k);
    out_newline();
}

static void garbled_line(const char* rest)
{
    out_printf("WARNING:garbled line:%s\n", rest);
}

int process_line(const char* line)
{
    if (line[0] == 0) return LINE_TAKEN;
    if (line[0] == ':') {
        decode_record_bytes(line + 1);
        intel_record(RecordBytes.bytes[3], RecordBytes.bytes, RecordBytes.count);
        return LINE_TAKEN;
    }
    if (line[0] != 'S') {
        garbled_line(line + 1);
        return LINE_GARBLED;
    }
    char kind = line[1];
    if (kind >= '1' && kind <= '3') {
        decode_record_bytes(line + 2);
        srec_record(kind - '0' + 1, RecordBytes.bytes, RecordBytes.count);
        return LINE_TAKEN;
    }
    if (kind == '0' || kind == '7' || kind == '8' || kind == '9') {
        decode_record_bytes(line + 2);
        return LINE_TAKEN;
    }
    garbled_line(kind ? line + 2 : "");
    return LINE_GARBLED;
}

void dump_file()
{
    FILE* in = open_input();
    char line[LINE_MAX_CHARS + 1];
    int result;
    do {
        result = get_line(line, in);
        process_line(line);
    } while (result != INPUT_ENDED);
    close_input(in);
}
