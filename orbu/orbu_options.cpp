#include "orbu/orbu_options.h"

#include <cstdlib>
#include <cstring>

#include "huld/huld_util.h"

namespace {

// Separates two options on the command line; each option starts at the slash.
constexpr const char *option_separator = " /";

char *copy_text(const char *text, size_t length) {
  char *copy = static_cast<char *>(std::malloc(length + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

// Replaces a heap string option value (a repeated option replaces the earlier value).
void set_value(char **field, char *value) {
  std::free(*field);
  *field = value;
}

bool starts_with(const char *text, const char *prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// "/log=": one leading and one trailing double quote are removed.
void parse_log_path(orbu_options *options, const char *value) {
  size_t length = std::strlen(value);
  if (length > 0 && value[0] == '"') {
    value++;
    length--;
  }
  if (length > 0 && value[length - 1] == '"') length--;
  set_value(&options->log_path, copy_text(value, length));
}

// "/C:" port,address: both are set only when the value holds a comma.
void parse_csmi_target(orbu_options *options, const char *value) {
  if (std::strchr(value, ',') == nullptr) return;
  char *port = nullptr;
  char *address = nullptr;
  if (huld_str_get_field(&port, value, 0, ',') == 0) set_value(&options->scsi_port, port);
  if (huld_str_get_field(&address, value, 1, ',') == 0) set_value(&options->sas_address, address);
}

void parse_token(orbu_options *options, const char *token) {
  if (std::strcmp(token, "/s") == 0) {
    options->silent = 1;
  } else if (starts_with(token, "/log=")) {
    parse_log_path(options, token + 5);
  } else if (starts_with(token, "/debug")) {
    options->debug = 1;
  } else if (starts_with(token, "/D:")) {
    set_value(&options->binary_path, copy_text(token + 3, std::strlen(token + 3)));
  } else if (starts_with(token, "/T:")) {
    set_value(&options->target, copy_text(token + 3, std::strlen(token + 3)));
  } else if (starts_with(token, "/C:")) {
    parse_csmi_target(options, token + 3);
  } else if (starts_with(token, "/FIA")) {
    options->activate_immediately = 1;
  } else if (std::strcmp(token, "/A") == 0) {
    options->silent = 1;
  }
}

}  // namespace

int orbu_insert_binary_option(char *line, const char *extension) {
  char *found = std::strstr(line, extension);
  if (found == nullptr) return 1;
  size_t end = static_cast<size_t>(found - line);

  // Walk back from the character before the extension to the blank that starts the file name.
  // A name at the very start of the line (the extension itself may be at index 0) gets "/D:" at
  // the line start; the walk never goes below index 0.
  size_t insert_at = 0;
  for (size_t k = end; k > 0;) {
    k--;
    if (line[k] == ' ') {
      if (line[k + 1] == '/') return 1;  // the name is the value of another option
      insert_at = k + 1;
      break;
    }
  }
  size_t tail = std::strlen(line + insert_at);
  std::memmove(line + insert_at + 3, line + insert_at, tail + 1);
  std::memcpy(line + insert_at, "/D:", 3);
  return 0;
}

void orbu_detect_binary_argument(char *line) {
  if (line == nullptr) return;
  if (std::strstr(line, "/D:") != nullptr || std::strstr(line, "/d:") != nullptr) return;
  static const char *const extensions[] = {".vesk", ".bin", ".VESK", ".BIN"};
  for (const char *extension : extensions) {
    if (orbu_insert_binary_option(line, extension) == 0) return;
  }
}

int orbu_parse_options(orbu_options *options, const char *line) {
  if (options == nullptr || line == nullptr) return 0;
  for (uint32_t n = 0;; n++) {
    char *token = nullptr;
    if (huld_str_get_token_field_at(&token, line, n, option_separator, 1) != 0 || token == nullptr)
      break;
    if (token[0] == '\0') {
      std::free(token);
      break;
    }
    parse_token(options, token);
    std::free(token);
  }
  return 0;
}
