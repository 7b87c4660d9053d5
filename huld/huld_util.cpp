// Utility module: byte order, bits, strings, files, time, libraries and child processes.
#include "huld/huld_util.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// ---------------------------------------------------------------------------------------------
// Byte order
// ---------------------------------------------------------------------------------------------
namespace {

uint64_t read_be(const void *p, uint32_t n) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  uint64_t v = 0;
  for (uint32_t i = 0; i < n; i++) v = (v << 8) | b[i];
  return v;
}

uint64_t read_le(const void *p, uint32_t n) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  uint64_t v = 0;
  for (uint32_t i = n; i > 0; i--) v = (v << 8) | b[i - 1];
  return v;
}

void write_be(void *p, uint64_t v, uint32_t n) {
  uint8_t *b = static_cast<uint8_t *>(p);
  for (uint32_t i = n; i > 0; i--) {
    b[i - 1] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

void write_le(void *p, uint64_t v, uint32_t n) {
  uint8_t *b = static_cast<uint8_t *>(p);
  for (uint32_t i = 0; i < n; i++) {
    b[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

}  // namespace

uint8_t huld_get_be8(const void *p) { return static_cast<const uint8_t *>(p)[0]; }
uint8_t huld_get_le8(const void *p) { return static_cast<const uint8_t *>(p)[0]; }
uint16_t huld_get_be16(const void *p) { return static_cast<uint16_t>(read_be(p, 2)); }
uint32_t huld_get_be24(const void *p) { return static_cast<uint32_t>(read_be(p, 3)); }
uint32_t huld_get_be32(const void *p) { return static_cast<uint32_t>(read_be(p, 4)); }
uint64_t huld_get_be40(const void *p) { return read_be(p, 5); }
uint64_t huld_get_be48(const void *p) { return read_be(p, 6); }
uint64_t huld_get_be56(const void *p) { return read_be(p, 7); }
uint64_t huld_get_be64(const void *p) { return read_be(p, 8); }

uint64_t huld_get_be_n(const void *p, uint32_t n) {
  if (n == 0) return 0;
  return read_be(p, n > 8 ? 8 : n);
}

uint16_t huld_get_le16(const void *p) { return static_cast<uint16_t>(read_le(p, 2)); }
uint32_t huld_get_le24(const void *p) { return static_cast<uint32_t>(read_le(p, 3)); }
uint32_t huld_get_le32(const void *p) { return static_cast<uint32_t>(read_le(p, 4)); }
uint64_t huld_get_le40(const void *p) { return read_le(p, 5); }
uint64_t huld_get_le48(const void *p) { return read_le(p, 6); }
uint64_t huld_get_le56(const void *p) { return read_le(p, 7); }
uint64_t huld_get_le64(const void *p) { return read_le(p, 8); }

huld_u128 huld_get_le128(const void *p) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  huld_u128 v;
  v.low = read_le(b, 8);
  v.high = read_le(b + 8, 8);
  return v;
}

void huld_get_le256(const void *p, huld_u128 *high, huld_u128 *low) {
  const uint8_t *b = static_cast<const uint8_t *>(p);
  if (high) *high = huld_get_le128(b + 16);
  if (low) *low = huld_get_le128(b);
}

void huld_put_8(void *p, uint8_t v) { static_cast<uint8_t *>(p)[0] = v; }
void huld_put_be16(void *p, uint16_t v) { write_be(p, v, 2); }
void huld_put_be32(void *p, uint32_t v) { write_be(p, v, 4); }
void huld_put_be64(void *p, uint64_t v) { write_be(p, v, 8); }
void huld_put_le16(void *p, uint16_t v) { write_le(p, v, 2); }
void huld_put_le32(void *p, uint32_t v) { write_le(p, v, 4); }
void huld_put_le64(void *p, uint64_t v) { write_le(p, v, 8); }

void huld_put_be128(void *p, huld_u128 v) {
  uint8_t *b = static_cast<uint8_t *>(p);
  write_be(b, v.high, 8);
  write_be(b + 8, v.low, 8);
}

void huld_put_le128(void *p, huld_u128 v) {
  uint8_t *b = static_cast<uint8_t *>(p);
  write_le(b, v.low, 8);
  write_le(b + 8, v.high, 8);
}

uint32_t huld_lo32(uint64_t v) { return static_cast<uint32_t>(v); }
uint32_t huld_hi32(uint64_t v) { return static_cast<uint32_t>(v >> 32); }

// ---------------------------------------------------------------------------------------------
// Bits
// ---------------------------------------------------------------------------------------------
int huld_test_bit64(uint32_t bit, uint64_t value) {
  if (bit > 63) return 0;
  return (value >> bit) & 1u ? 1 : 0;
}

int huld_test_bit32(uint32_t bit, uint32_t value) {
  if (bit > 31) return 0;
  return (value >> bit) & 1u ? 1 : 0;
}

int huld_test_bit16(uint32_t bit, uint16_t value) {
  if (bit > 15) return 0;
  return (value >> bit) & 1u ? 1 : 0;
}

uint64_t huld_get_bits64(uint64_t value, uint32_t low, uint32_t high) {
  if (low > 63) return 0;
  if (high > 63) high = 63;
  if (high < low) return 0;
  uint32_t width = high - low + 1;
  uint64_t shifted = value >> low;
  if (width >= 64) return shifted;
  return shifted & ((uint64_t{1} << width) - 1);
}

void huld_set_bits32(uint32_t *word, uint32_t value, int shift, int width) {
  if (!word || width <= 0 || shift < 0 || shift >= 32) return;
  uint32_t masked = width >= 32 ? value : (value & ((uint32_t{1} << width) - 1));
  *word |= masked << shift;
}

// ---------------------------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------------------------
char *huld_swap_bytes16(void *buffer, size_t n) {
  if (!buffer) return nullptr;
  uint8_t *b = static_cast<uint8_t *>(buffer);
  for (size_t i = 0; i + 1 < n; i += 2) {
    uint8_t t = b[i];
    b[i] = b[i + 1];
    b[i + 1] = t;
  }
  return static_cast<char *>(buffer);
}

char *huld_str_trim(char *s) {
  if (!s) return nullptr;
  size_t lead = 0;
  while (s[lead] == ' ') lead++;
  size_t len = strlen(s + lead);
  if (lead) {
    // The bytes the shift vacates are zeroed: a trimmed buffer carries nothing of its old text
    // behind the terminator and equals, byte for byte, one that never held the blanks.
    memmove(s, s + lead, len + 1);
    memset(s + len + 1, 0, lead);
  }
  while (len > 0) {
    char c = s[len - 1];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') {
      s[--len] = '\0';
    } else {
      break;
    }
  }
  return s;
}

char *huld_str_remove_char(char *s, char c) {
  if (!s) return nullptr;
  char *w = s;
  for (const char *r = s; *r; r++) {
    if (*r != c) *w++ = *r;
  }
  *w = '\0';
  return s;
}

int huld_str_replace(char **out, const char *src, const char *find, const char *replacement) {
  if (!out) return 1;
  *out = nullptr;
  if (!src || !find || !replacement) return 1;
  size_t src_len = strlen(src);
  size_t find_len = strlen(find);
  size_t rep_len = strlen(replacement);

  size_t count = 0;
  if (find_len > 0) {
    for (const char *p = strstr(src, find); p; p = strstr(p + find_len, find)) count++;
  }
  // Grows or shrinks by the length difference per replacement; never below the copied text.
  size_t size = src_len + 1 - count * find_len + count * rep_len;
  char *result = static_cast<char *>(calloc(size, 1));
  if (!result) return 1;

  if (find_len == 0) {
    memcpy(result, src, src_len);
  } else {
    char *w = result;
    const char *r = src;
    for (const char *p = strstr(r, find); p; p = strstr(r, find)) {
      memcpy(w, r, static_cast<size_t>(p - r));
      w += p - r;
      memcpy(w, replacement, rep_len);
      w += rep_len;
      r = p + find_len;
    }
    memcpy(w, r, strlen(r));
  }
  *out = result;
  return 0;
}

namespace {

char *heap_copy(const char *begin, size_t length) {
  char *s = static_cast<char *>(calloc(length + 1, 1));
  if (s && length) memcpy(s, begin, length);
  return s;
}

}  // namespace

int huld_str_get_field(char **out, const char *src, uint32_t n, char delimiter) {
  if (!out) return 1;
  *out = nullptr;
  if (!src) return 1;
  const char *start = src;
  for (uint32_t i = 0; i < n; i++) {
    const char *d = strchr(start, delimiter);
    if (!d || delimiter == '\0') return 1;
    start = d + 1;
  }
  const char *end = delimiter ? strchr(start, delimiter) : nullptr;
  size_t length = end ? static_cast<size_t>(end - start) : strlen(start);
  char *field = heap_copy(start, length);
  if (!field) return 1;
  *out = field;
  return 0;
}

int huld_str_get_token_field_at(char **out, const char *src, uint32_t n, const char *token,
                                size_t skip) {
  if (!out) return 1;
  *out = nullptr;
  if (!src || !token || !*token) return 1;
  size_t src_len = strlen(src);

  size_t start = 0;
  size_t search_from = 0;  // where the end of the field is looked for
  if (n > 0) {
    const char *p = src;
    const char *found = nullptr;
    for (uint32_t i = 0; i < n; i++) {
      found = strstr(p, token);
      if (!found) return 1;
      p = found + 1;  // occurrences are searched at every position
    }
    size_t at = static_cast<size_t>(found - src);
    start = skip > src_len - at ? src_len : at + skip;
    // The field ends at the next occurrence after the one it starts from.
    search_from = start > at + 1 ? start : at + 1;
    if (search_from > src_len) search_from = src_len;
  }
  const char *end = strstr(src + search_from, token);
  size_t length = end ? static_cast<size_t>(end - (src + start)) : src_len - start;
  char *field = heap_copy(src + start, length);
  if (!field) return 1;
  *out = field;
  return 0;
}

int huld_str_get_token_field(char **out, const char *src, uint32_t n, const char *token) {
  return huld_str_get_token_field_at(out, src, n, token, token ? strlen(token) : 0);
}

int huld_str_compare(const char *a, const char *b) {
  if (!a) a = "";
  if (!b) b = "";
  size_t la = strlen(a);
  size_t lb = strlen(b);
  for (size_t i = 0; i < la && i < lb; i++) {
    signed char ca = static_cast<signed char>(a[i]);
    signed char cb = static_cast<signed char>(b[i]);
    if (ca < cb) return -1;
    if (ca > cb) return 1;
  }
  if (la < lb) return -1;
  if (la > lb) return 1;
  return 0;
}

int huld_str_wildcard_compare(const char *a, const char *b) {
  if (!a) a = "";
  if (!b) b = "";
  size_t la = strlen(a);
  size_t lb = strlen(b);
  for (size_t i = 0; i < la && i < lb; i++) {
    signed char ca = static_cast<signed char>(a[i]);
    signed char cb = static_cast<signed char>(b[i]);
    if (ca == '*' || cb == '*') return 0;
    if (ca == cb || ca == '?' || cb == '?') continue;
    return ca <= cb ? -1 : 1;
  }
  if (la < lb) return -1;
  if (la > lb) return 1;
  return 0;
}

uint32_t huld_min(uint32_t a, uint32_t b) { return a < b ? a : b; }
uint32_t huld_max(uint32_t a, uint32_t b) { return a > b ? a : b; }

// ---------------------------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------------------------
int64_t huld_stream_size(FILE *f) {
#ifdef _WIN32
  if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
  int64_t size = _ftelli64(f);
  if (_fseeki64(f, 0, SEEK_SET) != 0) return -1;
#else
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  int64_t size = static_cast<int64_t>(ftello(f));
  if (fseeko(f, 0, SEEK_SET) != 0) return -1;
#endif
  return size;
}

bool huld_path_is_regular_file(const char *path) {
  if (!path) return false;
#ifdef _WIN32
  // A path in the device namespace (disks, volumes, ports), given so or reached through a reserved
  // name such as "NUL" or "COM1" (whose full path is "\\.\COM1"), is never a file.
  char full[MAX_PATH];
  const DWORD length = GetFullPathNameA(path, MAX_PATH, full, nullptr);
  const char *named = length > 0 && length < MAX_PATH ? full : path;
  if (strncmp(named, "\\\\.\\", 4) == 0) return false;
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
#else
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
#endif
}

bool huld_stream_is_regular_file(FILE *f) {
  if (!f) return false;
#ifdef _WIN32
  const intptr_t handle = _get_osfhandle(_fileno(f));
  return handle != -1 && GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK;
#else
  struct stat st;
  return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

int huld_file_read(const char *path, void *buffer, size_t n) {
  if (!path) return 1;
  FILE *f = fopen(path, "rb");
  if (!f) return 1;
  int64_t size = huld_stream_size(f);
  if (size < 0) {
    fclose(f);
    return 1;
  }
  size_t want = static_cast<uint64_t>(size) < n ? static_cast<size_t>(size) : n;
  if (want > 0 && !buffer) {
    fclose(f);
    return 1;
  }
  size_t got = want > 0 ? fread(buffer, 1, want, f) : 0;
  fclose(f);
  return got < want ? 1 : 0;
}

int64_t huld_file_size(const char *path) {
  if (!path) return -1;
  FILE *f = fopen(path, "rb");
  if (!f) return -1;
  int64_t size = huld_stream_size(f);
  fclose(f);
  return size;
}

int huld_file_append(const char *path, const void *buffer, size_t n) {
  if (!path) return 1;
  FILE *f = fopen(path, "a+b");
  if (!f) return 1;
  const uint8_t *b = static_cast<const uint8_t *>(buffer);
  size_t written = 0;
  int empty_writes = 0;
  while (written < n) {
    size_t w = b ? fwrite(b + written, 1, n - written, f) : 0;
    if (w == 0) {
      if (++empty_writes == 5) {
        fclose(f);
        return 2;
      }
      clearerr(f);
    }
    written += w;
  }
  // Buffered bytes that cannot be flushed are not written either.
  if (fclose(f) != 0) return 2;
  return 0;
}

int huld_file_append_text(const char *path, const char *text) {
  if (!path || !text) return 1;
#ifdef _WIN32
  size_t length = 0;
  size_t newlines = 0;
  for (; text[length] != '\0'; length++) newlines += text[length] == '\n' ? 1 : 0;
  const size_t size = length + newlines;
  if (size > 0xFFFFFFFFu) return 2;
  char *bytes = static_cast<char *>(malloc(size + 1));
  if (!bytes) return 2;
  size_t at = 0;
  for (size_t i = 0; i < length; i++) {
    if (text[i] == '\n') bytes[at++] = '\r';
    bytes[at++] = text[i];
  }
  // A handle with append access and no write access writes at the end of the file as it is at
  // that write. The read access is for the lock below (a byte-range lock needs read or write
  // access); a file that cannot be opened for reading is appended to without the lock.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileA(path, FILE_READ_DATA | FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE &&
      (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION))
    file = CreateFileA(path, FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    free(bytes);
    return 1;
  }
  // Writers that take the end of the file and then write there (Wine does, for one) are ordered
  // by an exclusive lock on one byte far past any end a file reaches, so that the lock never
  // covers data that readers want. Without the lock the text is written all the same.
  OVERLAPPED lock_at;
  memset(&lock_at, 0, sizeof(lock_at));
  lock_at.OffsetHigh = 0x40000000u;
  const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock_at) != FALSE;
  DWORD written = 0;
  const bool whole = size == 0 || (WriteFile(file, bytes, static_cast<DWORD>(size), &written,
                                             nullptr) && written == size);
  if (locked) UnlockFileEx(file, 0, 1, 0, &lock_at);
  CloseHandle(file);
  free(bytes);
  return whole ? 0 : 2;
#else
  const int file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (file < 0) return 1;
  const size_t size = strlen(text);
  const ssize_t written = size > 0 ? write(file, text, size) : 0;
  const int result = written == static_cast<ssize_t>(size) ? 0 : 2;
  if (close(file) != 0) return 2;
  return result;
#endif
}

int64_t huld_getline(char **line, size_t *length, FILE *file) {
  if (!line || !length) return -1;
  free(*line);
  *line = nullptr;
  *length = 0;
  if (!file) return -1;
  char *buffer = static_cast<char *>(calloc(1024, 1));
  if (!buffer) return -1;
  if (!fgets(buffer, 1024, file)) {
    free(buffer);
    return -1;
  }
  *line = buffer;
  *length = strlen(buffer);
  return static_cast<int64_t>(*length);
}

int huld_realloc(void **block, size_t size) {
  // realloc to 0 bytes may free the block and answer null, which would read as "old block kept".
  if (!block || size == 0) return 1;
  void *grown = realloc(*block, size);
  if (!grown) return 1;
  *block = grown;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------------------------
int huld_get_local_time(huld_calendar_time *t) {
  if (!t) return 1;
  time_t now = time(nullptr);
  struct tm local;
  memset(&local, 0, sizeof(local));
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  t->year = static_cast<uint32_t>(local.tm_year + 1900);
  t->month = static_cast<uint32_t>(local.tm_mon + 1);
  t->weekday = static_cast<uint32_t>(local.tm_wday);
  t->day = static_cast<uint32_t>(local.tm_mday);
  t->hour = static_cast<uint32_t>(local.tm_hour);
  t->minute = static_cast<uint32_t>(local.tm_min);
  t->second = static_cast<uint32_t>(local.tm_sec);
  t->reserved = 0;
  t->daylight_saving = local.tm_isdst > 0 ? 1 : 0;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Dynamic libraries
// ---------------------------------------------------------------------------------------------
HMODULE huld_load_library(const char *name) {
  if (!name) return nullptr;
  char path[MAX_PATH];
  // Keep the extension: cut the name so that name + ".DLL" fits.
  snprintf(path, sizeof(path), "%.*s.DLL", static_cast<int>(sizeof(path) - 5), name);
  return LoadLibraryExA(path, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE huld_load_library_functions(const char *name, const huld_library_function *table,
                                    uint32_t n) {
  HMODULE library = huld_load_library(name);
  if (!library) return nullptr;
  for (uint32_t i = 0; i < n; i++) {
    FARPROC address = table[i].name ? GetProcAddress(library, table[i].name) : nullptr;
    if (!address) {
      FreeLibrary(library);
      return nullptr;
    }
    if (table[i].address) *table[i].address = address;
  }
  return library;
}

FARPROC huld_get_proc_address(HMODULE library, const char *name) {
  if (!library || !name) return nullptr;
  return GetProcAddress(library, name);
}

void huld_free_library(HMODULE *library) {
  if (!library) return;
  if (*library) FreeLibrary(*library);
  *library = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Child process
// ---------------------------------------------------------------------------------------------
namespace {

constexpr size_t kOutputGrowth = 4096;
constexpr uint32_t kRunFailed = 0xFFFFFFFFu;
constexpr uint32_t kTerminatedExitCode = 0xFFFFFFFEu;

struct OutputBuffer {
  char *data = nullptr;
  size_t used = 0;
  size_t capacity = 0;

  // Makes room for at least one more byte; false without memory.
  bool reserve_one() {
    if (used < capacity) return true;
    void *block = data;
    if (huld_realloc(&block, capacity + kOutputGrowth) != 0) return false;
    data = static_cast<char *>(block);
    capacity += kOutputGrowth;
    return true;
  }
};

// Reads every byte the pipe holds now. False without memory.
bool drain_pipe(HANDLE pipe, OutputBuffer *out) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
      return true;
    }
    while (available > 0) {
      if (!out->reserve_one()) return false;
      size_t room = out->capacity - out->used;
      DWORD want = room < available ? static_cast<DWORD>(room) : available;
      DWORD got = 0;
      if (!ReadFile(pipe, out->data + out->used, want, &got, nullptr) || got == 0) return true;
      out->used += got;
      available -= got;
    }
  }
}

}  // namespace

uint32_t huld_run_command(const char *command_line, char **output, size_t *output_length,
                          uint32_t time_limit_seconds) {
  if (output) *output = nullptr;
  if (output_length) *output_length = 0;
  if (!command_line) return kRunFailed;

  SECURITY_ATTRIBUTES attributes;
  memset(&attributes, 0, sizeof(attributes));
  attributes.nLength = sizeof(attributes);
  attributes.bInheritHandle = TRUE;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &attributes, 0)) return kRunFailed;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  if (!SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0) ||
      !SetNamedPipeHandleState(read_end, &mode, nullptr, nullptr)) {
    CloseHandle(read_end);
    CloseHandle(write_end);
    return kRunFailed;
  }

  // CreateProcessA may write into the command line: give it a heap copy, unchanged (the caller
  // quotes a program path that holds blanks).
  size_t length = strlen(command_line);
  char *line = static_cast<char *>(calloc(length + 1, 1));
  if (!line) {
    CloseHandle(read_end);
    CloseHandle(write_end);
    return kRunFailed;
  }
  memcpy(line, command_line, length);

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof(process));
  BOOL started = CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr,
                                nullptr, &startup, &process);
  free(line);
  // The child holds its own copy; keeping ours would keep the pipe from ever breaking.
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    return kRunFailed;
  }

  OutputBuffer out;
  bool out_of_memory = false;
  bool ended = false;
  ULONGLONG start = GetTickCount64();
  for (;;) {
    if (!drain_pipe(read_end, &out)) {
      out_of_memory = true;
      break;
    }
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
      ended = true;
      break;
    }
    if (time_limit_seconds != 0 &&
        GetTickCount64() - start > static_cast<ULONGLONG>(time_limit_seconds) * 1000u) {
      break;
    }
    Sleep(1);
  }
  // Output written just before the child ended is still in the pipe.
  if (ended && !drain_pipe(read_end, &out)) out_of_memory = true;

  DWORD exit_code = kTerminatedExitCode;
  if (!ended) {
    TerminateProcess(process.hProcess, kTerminatedExitCode);
    WaitForSingleObject(process.hProcess, 1000);
  }
  if (!GetExitCodeProcess(process.hProcess, &exit_code) || (!ended && exit_code == STILL_ACTIVE)) {
    exit_code = kTerminatedExitCode;
  }
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  CloseHandle(read_end);

  if (out_of_memory || !out.reserve_one()) {
    free(out.data);
    return kRunFailed;
  }
  out.data[out.used++] = '\0';
  if (output) {
    *output = out.data;
  } else {
    free(out.data);
  }
  if (output_length) *output_length = out.used;
  return exit_code;
}
