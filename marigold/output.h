// Buffered standard output, messages, and the writing of files. A fatal exit
// goes through out_exit() to keep what was already printed.
#ifndef MARIGOLD_OUTPUT_H
#define MARIGOLD_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

void out_set_stream(FILE* stream);
void out_to_error(bool on); // what follows goes to standard error
void out_quiet(bool on); // what follows is dropped, until as many calls with false
void out_flush();
bool out_ok(); // flushes; false once the report could not be written
[[noreturn]] void out_exit(int code);
extern int FailCode; // the exit code of a file that can't be read: 1, or 2 for -d
extern const char* TempPath; // a half-written temporary file, removed by out_exit
// The temporary file and its open stream, if any; null: no such file any more.
void set_temp_path(const char* path, FILE* file);
void out_str(const char* text);
void out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void out_hex(uint32_t value, int min_digits);
void out_byte(unsigned value); // " %02x"
void out_bytes(const unsigned char* data, int n);
void out_newline();
void out_dec(uint64_t value);
void out_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "Fatal: can't VERB file:PATH", then the system's reason on a line of its
// own (error 0: an I/O error).
void file_failed(const char* verb, const char* path, int error);
// fwrite that keeps the reason of the first failed write of a file for
// file_failed; false when not all was written.
bool file_write(const void* data, size_t n, FILE* file);
extern int FileErrno; // that reason, 0 until a write failed
bool file_close(FILE* file); // fclose, keeping its reason too

#endif
