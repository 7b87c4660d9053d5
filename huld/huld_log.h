// The error record every fallible library function takes from its caller, and the logging core:
// the level threshold, the output functions (sinks) and the printf-style log and hex dump.
// Nothing here locks; sinks serialise their own output.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#if defined(__MINGW_PRINTF_FORMAT)
#define HULD_PRINTF_FORMAT(fmt, first) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, first)))
#else
#define HULD_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

// Error codes (huld_error.code).
enum huld_error_code : uint32_t {
  HULD_ERROR_NONE = 0,
  HULD_ERROR_FAILURE = 1,
  HULD_ERROR_NOT_SUPPORTED = 2,
  HULD_ERROR_NO_INTERFACE = 3,
  HULD_ERROR_SYSTEM = 4,
  HULD_ERROR_DEVICE = 6,
};

// The error record. Set when code is not 0.
typedef struct huld_error {
  uint32_t code;       // huld_error_code
  uint32_t subcode;    // detail depending on code
  char file[128];      // module that recorded the failure (truncated to 127 characters)
  char function[128];  // function that recorded the failure (truncated to 127 characters)
  uint32_t line;       // source line of the recording statement
  char message[4096];  // formatted message (truncated to 4095 characters)
} huld_error;

// Records a failure and returns 1, always. A null err is ignored. A null file or function leaves
// that field unchanged; a null format leaves the message unchanged.
int huld_error_set(huld_error *err, uint32_t code, uint32_t subcode, const char *file,
                   const char *function, uint32_t line, const char *format, ...)
    HULD_PRINTF_FORMAT(7, 8);
// Sets code and subcode to 0 (the rest is kept) and returns 0.
int huld_error_clear(huld_error *err);
// 1 when code is not 0, else 0 (0 for a null err).
int huld_error_is_set(const huld_error *err);
// Logs the record with four huld_log_printf calls; returns the result of the last one.
int huld_error_print(const huld_error *err);

// Log levels: callers log when huld_log_level is at least the level.
#define HULD_LOG_NOTICE 10
#define HULD_LOG_INFO 20
#define HULD_LOG_DEBUG 30
#define HULD_LOG_VERBOSE 40

// Threshold compared by callers before they log (0: nothing is logged). Written only at start-up.
extern uint32_t huld_log_level;
// When not 0, library entry points log "%s - enter\n" and "%s - exit\n".
extern uint32_t huld_log_trace;

// An output function: receives the finished NUL-terminated text.
typedef int (*huld_log_sink)(const char *text);

// Registers a sink (called in registration order). Registrations beyond 4096 are ignored.
void huld_log_add_sink(huld_log_sink sink);
// Formats into a 4096-byte stack buffer (cut at 4095 characters) and hands it to every sink.
// Returns the last sink's result, or the formatted length when no sink is registered.
int huld_log_printf(const char *format, ...) HULD_PRINTF_FORMAT(1, 2);
// Logs a hex dump of length bytes: 16 a line, offset, hex bytes and a character column.
void huld_log_dump(const char *title, const void *data, uint32_t length);

// Logs when the level is at least the given one.
#define HULD_LOG(level, ...)                                   \
  do {                                                         \
    if (huld_log_level >= (uint32_t)(level)) huld_log_printf(__VA_ARGS__); \
  } while (0)

// Prints an error record when the level is at least the given one.
#define HULD_LOG_ERROR(level, err)                                   \
  do {                                                               \
    if (huld_log_level >= (uint32_t)(level)) huld_error_print(err);  \
  } while (0)
// Records a failure at the calling place; each source file defines HULD_MODULE (its module path,
// for example "huld\\huld_dev") before using it. Evaluates to 1.
#define HULD_ERROR(err, code, subcode, ...) \
  huld_error_set((err), (code), (subcode), HULD_MODULE, __func__, __LINE__, __VA_ARGS__)
