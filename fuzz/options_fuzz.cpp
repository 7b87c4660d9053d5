// Fuzz target: the command line as start-up treats it. The input is the text after the program
// name (up to its first NUL); it is copied with the same spare room, given the dropped-file
// rewrite and parsed. Every option value must be a piece of the line, the rewrite may only put
// "/D:" in front of one name, and every heap string must be freed once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "huld/huld_log.h"
#include "orbu/orbu_options.h"

namespace {

// The rewrite leaves the line unchanged or inserts exactly "/D:" at one place.
void check_rewrite(const char *before, const char *after) {
  const size_t length = std::strlen(before);
  const size_t rewritten = std::strlen(after);
  if (rewritten == length) {
    if (std::memcmp(before, after, length) != 0) std::abort();
    return;
  }
  if (rewritten != length + 3) std::abort();
  size_t at = 0;
  while (at < length && before[at] == after[at]) at++;
  // The line held no "/D:" (else nothing changes), so the inserted text starts at most two
  // places before the first difference.
  for (size_t start = at > 2 ? at - 2 : 0; start <= at; start++) {
    if (std::memcmp(after + start, "/D:", 3) == 0 &&
        std::strcmp(after + start + 3, before + start) == 0)
      return;
  }
  std::abort();
}

// A parsed value must be a piece of the line it came from.
void check_value(const char *line, const char *value) {
  if (value != nullptr && std::strstr(line, value) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  huld_log_level = HULD_LOG_VERBOSE;
  const size_t length = strnlen(reinterpret_cast<const char *>(data), size);
  // As at start-up: the received text stays, the working copy has 257 spare bytes.
  char *received = static_cast<char *>(std::calloc(length + 1, 1));
  char *line = static_cast<char *>(std::calloc(length + 257, 1));
  if (received == nullptr || line == nullptr) std::abort();
  std::memcpy(received, data, length);
  std::memcpy(line, data, length);
  orbu_detect_binary_argument(line);
  check_rewrite(received, line);

  orbu_options options;
  std::memset(&options, 0, sizeof(options));
  if (orbu_parse_options(&options, line) != 0) std::abort();
  if (options.silent > 1 || options.debug > 1 || options.activate_immediately > 1) std::abort();
  for (const char *value : {options.log_path, options.binary_path, options.target,
                            options.scsi_port, options.sas_address})
    check_value(line, value);
  // Both CSMI fields come together or not at all.
  if ((options.scsi_port == nullptr) != (options.sas_address == nullptr)) std::abort();
  for (char *value : {options.log_path, options.binary_path, options.target, options.scsi_port,
                      options.sas_address})
    std::free(value);
  std::free(line);
  std::free(received);
  return 0;
}
