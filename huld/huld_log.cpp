// Logging core and error record.
#include "huld/huld_log.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

uint32_t huld_log_level = 0;
uint32_t huld_log_trace = 0;

namespace {

constexpr uint32_t kSinkSlots = 4096;
constexpr size_t kLogBufferSize = 4096;
constexpr size_t kDumpBufferSize = 4096;

huld_log_sink g_sinks[kSinkSlots];
uint32_t g_sink_count = 0;
uint32_t g_sinks_initialised = 0;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Error record
// ---------------------------------------------------------------------------------------------
int huld_error_set(huld_error *err, uint32_t code, uint32_t subcode, const char *file,
                   const char *function, uint32_t line, const char *format, ...) {
  if (!err) return 1;
  err->code = code;
  err->subcode = subcode;
  if (file) snprintf(err->file, sizeof(err->file), "%s", file);
  if (function) snprintf(err->function, sizeof(err->function), "%s", function);
  err->line = line;
  if (format) {
    va_list args;
    va_start(args, format);
    vsnprintf(err->message, sizeof(err->message), format, args);
    va_end(args);
    err->message[sizeof(err->message) - 1] = '\0';
  }
  return 1;
}

int huld_error_clear(huld_error *err) {
  if (err) {
    err->code = HULD_ERROR_NONE;
    err->subcode = 0;
  }
  return 0;
}

int huld_error_is_set(const huld_error *err) { return err && err->code != 0 ? 1 : 0; }

int huld_error_print(const huld_error *err) {
  if (!err) return 0;
  huld_log_printf("error code:    %u\n", err->code);
  huld_log_printf("error subcode: %u\n", err->subcode);
  huld_log_printf("message: %s\n", err->message);
  return huld_log_printf("location: %s :: %s (line %u)\n", err->file, err->function, err->line);
}

// ---------------------------------------------------------------------------------------------
// Log
// ---------------------------------------------------------------------------------------------
void huld_log_add_sink(huld_log_sink sink) {
  if (!g_sinks_initialised) {
    for (uint32_t i = 0; i < kSinkSlots; i++) g_sinks[i] = nullptr;
    g_sink_count = 0;
    g_sinks_initialised = 1;
  }
  // A full table ignores further registrations; a null sink would only crash the next log call.
  if (!sink || g_sink_count >= kSinkSlots) return;
  g_sinks[g_sink_count++] = sink;
}

int huld_log_printf(const char *format, ...) {
  char buffer[kLogBufferSize];
  memset(buffer, 0, sizeof(buffer));
  if (!format) return 0;
  va_list args;
  va_start(args, format);
  int result = vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  buffer[sizeof(buffer) - 1] = '\0';
  if (g_sink_count == 0) return result;
  for (uint32_t i = 0; i < g_sink_count; i++) result = g_sinks[i](buffer);
  return result;
}

void huld_log_dump(const char *title, const void *data, uint32_t length) {
  if (!title) title = "";
  // The bytes are read from the caller's buffer in place: whatever length the caller passes,
  // only the two line buffers are written, and they never hold more than one line.
  char *hex = static_cast<char *>(calloc(kDumpBufferSize, 1));
  char *chars = static_cast<char *>(calloc(kDumpBufferSize, 1));
  if (!hex || !chars) {
    huld_log_printf("could not dmp %s - oom", title);
    free(hex);
    free(chars);
    return;
  }
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  if (!bytes) length = 0;

  huld_log_printf("%s:", title);
  size_t hex_len = 0;
  size_t chars_len = 0;
  for (uint32_t i = 0; i < length; i++) {
    if (i % 16 == 0) {
      huld_log_printf("%-50s %-16s", hex, chars);
      hex_len = static_cast<size_t>(snprintf(hex, kDumpBufferSize, "\n%04x:", i));
      chars_len = 0;
      chars[0] = '\0';
    }
    hex_len += static_cast<size_t>(
        snprintf(hex + hex_len, kDumpBufferSize - hex_len, " %02x", bytes[i]));
    chars[chars_len++] = isalnum(bytes[i]) && bytes[i] < 0x80 ? static_cast<char>(bytes[i]) : '.';
    chars[chars_len] = '\0';
  }
  huld_log_printf("%-54s %-16s\n", hex, chars);
  free(hex);
  free(chars);
}
