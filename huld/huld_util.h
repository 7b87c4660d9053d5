// Small state-free helpers used by every parser, builder and the application: byte order, bits,
// strings, whole-file access, local time, dynamic libraries and child processes.
// None of them takes an error record and none of them logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/win32.h"

// A 128-bit value: the high 64 bits first, then the low 64 bits.
typedef struct huld_u128 {
  uint64_t high;
  uint64_t low;
} huld_u128;

// Broken-down local time.
typedef struct huld_calendar_time {
  uint32_t year;     // four digits
  uint32_t month;    // 1-12
  uint32_t weekday;  // 0-6, Sunday 0
  uint32_t day;      // day of the month, 1-31
  uint32_t hour;
  uint32_t minute;
  uint32_t second;
  uint32_t reserved;  // always written as 0
  uint8_t daylight_saving;
} huld_calendar_time;

// ---------------------------------------------------------------------------------------------
// Byte order. Readers take a pointer to the first byte; big-endian means most significant first.
// ---------------------------------------------------------------------------------------------
uint8_t huld_get_be8(const void *p);
uint8_t huld_get_le8(const void *p);
uint16_t huld_get_be16(const void *p);
uint32_t huld_get_be24(const void *p);
uint32_t huld_get_be32(const void *p);
uint64_t huld_get_be40(const void *p);
uint64_t huld_get_be48(const void *p);
uint64_t huld_get_be56(const void *p);
uint64_t huld_get_be64(const void *p);
// Big-endian read of n bytes (1 to 8; larger n reads 8); 0 when n is 0.
uint64_t huld_get_be_n(const void *p, uint32_t n);
uint16_t huld_get_le16(const void *p);
uint32_t huld_get_le24(const void *p);
uint32_t huld_get_le32(const void *p);
uint64_t huld_get_le40(const void *p);
uint64_t huld_get_le48(const void *p);
uint64_t huld_get_le56(const void *p);
uint64_t huld_get_le64(const void *p);
// 16 bytes little-endian: low from bytes 0-7, high from bytes 8-15.
huld_u128 huld_get_le128(const void *p);
// 32 bytes little-endian: *high from bytes 16-31, *low from bytes 0-15 (either may be null).
void huld_get_le256(const void *p, huld_u128 *high, huld_u128 *low);

void huld_put_8(void *p, uint8_t v);
void huld_put_be16(void *p, uint16_t v);
void huld_put_be32(void *p, uint32_t v);
void huld_put_be64(void *p, uint64_t v);
void huld_put_le16(void *p, uint16_t v);
void huld_put_le32(void *p, uint32_t v);
void huld_put_le64(void *p, uint64_t v);
// high in bytes 0-7, low in bytes 8-15, both big-endian.
void huld_put_be128(void *p, huld_u128 v);
// low in bytes 0-7, high in bytes 8-15, both little-endian.
void huld_put_le128(void *p, huld_u128 v);

uint32_t huld_lo32(uint64_t v);
uint32_t huld_hi32(uint64_t v);

// ---------------------------------------------------------------------------------------------
// Bits
// ---------------------------------------------------------------------------------------------
// 1 when the bit is set; 0 for an index beyond the width.
int huld_test_bit64(uint32_t bit, uint64_t value);
int huld_test_bit32(uint32_t bit, uint32_t value);
int huld_test_bit16(uint32_t bit, uint16_t value);
// Bits low..high (inclusive) of value, shifted down. A 64-bit field returns the whole value;
// high below low, or low above 63, gives 0; high above 63 is taken as 63.
uint64_t huld_get_bits64(uint64_t value, uint32_t low, uint32_t high);
// ORs (value masked to its width low bits) << shift into *word. A width of 0 or less, a shift
// below 0 or of 32 and more, or a null word adds nothing. The word is not cleared first.
void huld_set_bits32(uint32_t *word, uint32_t value, int shift, int width);

// ---------------------------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------------------------
// Swaps the two bytes of every 16-bit word of the first n bytes in place (an odd last byte is
// left alone); returns the buffer, null for a null buffer.
char *huld_swap_bytes16(void *buffer, size_t n);
// Removes leading blanks (space only) and trailing white space in place, zeroing what the shift
// vacates; returns s (null for null).
char *huld_str_trim(char *s);
// Removes every occurrence of c in place; returns s (null for null).
char *huld_str_remove_char(char *s, char c);
// *out = new heap string: src with each occurrence of find (left to right, no overlap) replaced.
// An empty find gives a copy of src. 0 done, 1 no memory or a null argument (*out null).
int huld_str_replace(char **out, const char *src, const char *find, const char *replacement);
// *out = new heap string with field n (0-based) of src split at delimiter. 0 done, 1 (out null)
// when src has fewer than n delimiters, no memory, or a null argument.
int huld_str_get_field(char **out, const char *src, uint32_t n, char delimiter);
// *out = new heap string with the text that starts skip characters after the start of the n-th
// occurrence of token (1-based; 0 = start of src) and ends before the next occurrence of token
// or at the end of src. A skip beyond the end of the text gives an empty field. 0 done; 1 (out
// null) for fewer than n occurrences, an empty or null token, or no memory.
int huld_str_get_token_field_at(char **out, const char *src, uint32_t n, const char *token,
                                size_t skip);
// The same with skip equal to the token's length.
int huld_str_get_token_field(char **out, const char *src, uint32_t n, const char *token);
// -1, 0, 1: bytes compared as signed char up to the shorter length, then the shorter first.
int huld_str_compare(const char *a, const char *b);
// -1, 0, 1: like huld_str_compare, but "?" in either string matches any one character and "*"
// in either string ends the comparison as equal where both strings still have characters.
int huld_str_wildcard_compare(const char *a, const char *b);
uint32_t huld_min(uint32_t a, uint32_t b);
uint32_t huld_max(uint32_t a, uint32_t b);

// ---------------------------------------------------------------------------------------------
// Files (binary, 64-bit sizes)
// ---------------------------------------------------------------------------------------------
// Reads min(n, file size) bytes from the start of the file. 0 done; 1 when the file cannot be
// opened or fewer bytes than that could be read.
int huld_file_read(const char *path, void *buffer, size_t n);
// The file's size in bytes, -1 when it cannot be opened.
int64_t huld_file_size(const char *path);
// The size of an open file in bytes, its position left at the start; -1 when the size cannot be
// taken (a pipe, or a seek that fails).
int64_t huld_stream_size(FILE *f);
// Whether the path names a regular file, taken without opening it (a FIFO's open could wait
// for a writer): false for a directory, a pipe or FIFO, a device and a path that names nothing.
bool huld_path_is_regular_file(const char *path);
// Whether an open stream reads a regular file, not a pipe, a character device or a directory.
bool huld_stream_is_regular_file(FILE *f);
// Appends n bytes. 0 done, 1 the file could not be opened, 2 the write tries are used up.
int huld_file_append(const char *path, const void *buffer, size_t n);
// Appends a text whole, in one write to a file opened for appending only (created when missing),
// so that processes appending to one file never write over each other's texts. Its newlines are
// written as text mode writes them: "\r\n" on Windows, "\n" elsewhere. 0 done, 1 the file could
// not be opened, 2 the text could not be written whole.
int huld_file_append_text(const char *path, const char *text);
// Frees *line if set, takes a new 1024-byte heap buffer and reads one line (at most 1023
// characters, the newline kept). Returns the length and stores it in *length; -1 at end of file
// or without memory (then *line is null and *length 0).
int64_t huld_getline(char **line, size_t *length, FILE *file);
// Grows *block to size bytes: 0 done (new address stored), 1 no memory or size 0 (old block kept
// and untouched).
int huld_realloc(void **block, size_t size);

// Fills t from the current local time. 0 done, 1 for a null t.
int huld_get_local_time(huld_calendar_time *t);

// ---------------------------------------------------------------------------------------------
// Dynamic libraries (loaded from the system directory only)
// ---------------------------------------------------------------------------------------------
typedef struct huld_library_function {
  const char *name;  // exported function name
  FARPROC *address;  // slot that receives the function's address
} huld_library_function;

// Loads name + ".DLL" (the name cut to fit a 260-character path); null on failure.
HMODULE huld_load_library(const char *name);
// Loads the library and resolves the n entries in order; when one is missing the library is
// freed and null returned.
HMODULE huld_load_library_functions(const char *name, const huld_library_function *table,
                                    uint32_t n);
FARPROC huld_get_proc_address(HMODULE library, const char *name);
// Frees the library (when not null) and nulls the handle.
void huld_free_library(HMODULE *library);

// ---------------------------------------------------------------------------------------------
// Child process
// ---------------------------------------------------------------------------------------------
// Runs command_line, passed unchanged (program and arguments; the caller quotes a program path
// that holds blanks), with standard output and standard error captured. time_limit_seconds 0 means no
// limit; a child still running after the limit is terminated with exit code FFFFFFFEh.
// *output receives a NUL-terminated heap buffer (the caller frees it) and *output_length its
// length including the NUL. Returns the child's exit code, or FFFFFFFFh when the pipe cannot be
// made, the child cannot be started or memory runs out (then *output is null).
uint32_t huld_run_command(const char *command_line, char **output, size_t *output_length,
                          uint32_t time_limit_seconds);
