// The embedded update package: the packed directory at the end of the running executable, read
// into the update configuration and its image table.
#include "orbu/orbu_package.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "huld/huld_log.h"
#include "huld/huld_util.h"
#include "orbu/orbu_strategy_table.h"
#include "platform/win32.h"
#include "vornpackbin/vornpackbin.h"

#define HULD_MODULE "orbu\\orbu_package"

namespace {

constexpr uint64_t kHeaderSize = 7;
constexpr char kConfigName[] = "fwconfig";

// 1 when the character field holds a NUL within its width.
bool field_ok(const char *field, size_t width) { return std::memchr(field, 0, width) != nullptr; }

template <typename Record>
using field_check = bool (*)(const Record &);

bool monb_ok(const orbu_monb_record &r) {
  return field_ok(r.model, sizeof(r.model)) && field_ok(r.old_firmware, sizeof(r.old_firmware)) &&
         field_ok(r.new_firmware, sizeof(r.new_firmware)) &&
         field_ok(r.binary_name, sizeof(r.binary_name));
}
bool monmb_ok(const orbu_monmb_record &r) {
  return field_ok(r.model, sizeof(r.model)) && field_ok(r.old_firmware, sizeof(r.old_firmware)) &&
         field_ok(r.new_firmware, sizeof(r.new_firmware)) &&
         field_ok(r.new_model, sizeof(r.new_model)) &&
         field_ok(r.binary_name, sizeof(r.binary_name));
}
bool dedicidonb_ok(const orbu_dedicidonb_record &r) {
  return field_ok(r.component_id, sizeof(r.component_id)) &&
         field_ok(r.old_firmware, sizeof(r.old_firmware)) &&
         field_ok(r.new_firmware, sizeof(r.new_firmware)) &&
         field_ok(r.binary_name, sizeof(r.binary_name));
}
bool dfmonmb_ok(const orbu_dfmonmb_record &r) {
  return field_ok(r.model, sizeof(r.model)) && field_ok(r.firmware, sizeof(r.firmware)) &&
         field_ok(r.new_firmware, sizeof(r.new_firmware)) &&
         field_ok(r.new_model, sizeof(r.new_model)) &&
         field_ok(r.binary_name, sizeof(r.binary_name));
}

// Copies `record_count` records from offset 7 of the blob into a new `records` array. The blob must
// hold them all; bytes after them are ignored. Every character field must be NUL-terminated within
// its width.
template <typename Record>
int parse_records(orbu_config *config, const uint8_t *blob, uint64_t size,
                  field_check<Record> check, bool line_end) {
  const uint64_t bytes = (uint64_t)config->record_count * sizeof(Record);
  if (blob == nullptr || size < kHeaderSize || size - kHeaderSize < bytes) return 1;
  std::free(config->records);
  config->records = nullptr;
  void *records = std::malloc(bytes ? (size_t)bytes : 1);
  if (records == nullptr) {
    if (line_end) {
      HULD_LOG(HULD_LOG_NOTICE,
               "Insufficient system resources, allocating %llu bytes for strategy data failed.\n",
               (unsigned long long)bytes);
    } else {
      HULD_LOG(HULD_LOG_NOTICE,
               "Insufficient system resources, allocating %llu bytes for strategy data failed.",
               (unsigned long long)bytes);
    }
    return 1;
  }
  if (bytes != 0) std::memcpy(records, blob + kHeaderSize, (size_t)bytes);
  const Record *typed = (const Record *)records;
  for (uint32_t i = 0; i < config->record_count; i++) {
    if (!check(typed[i])) {
      std::free(records);
      return 1;
    }
  }
  config->records = records;
  return 0;
}

template <typename Record>
int check_records(orbu_config *config) {
  const Record *records = (const Record *)config->records;
  if (config->record_count != 0 && records == nullptr) return 1;
  for (uint32_t i = 0; i < config->record_count; i++) {
    const char *name = records[i].binary_name;
    const orbu_packed_binary *binary = orbu_find_packed_binary(config, name);
    if (binary == nullptr) {
      HULD_LOG(HULD_LOG_NOTICE,
               "Binary is inconsistent. Packed binary %s is configured but does not exist.\n",
               name);
      return 1;
    }
    if (binary->size == 0) {
      HULD_LOG(HULD_LOG_NOTICE, "Binary is inconsistent. Packed binary %s is empty.\n", name);
      return 1;
    }
  }
  return 0;
}

// Index of the last entry named like entry `index` (the one a reader by name returns).
uint32_t last_of_name(const vornpackbin_directory &directory, uint32_t index) {
  uint32_t last = index;
  for (uint32_t j = index + 1; j < directory.nbinaries; j++) {
    if (std::strncmp(directory.entries[j].name, directory.entries[index].name,
                     sizeof(directory.entries[j].name)) == 0) {
      last = j;
    }
  }
  return last;
}

// Refuses a configuration whose strategy no package can carry (command-line mode's among them).
int unrecognized_strategy(const orbu_config *config) {
  HULD_LOG(HULD_LOG_NOTICE, "Unrecognized fwconfig strategy %d.\n", (int)config->strategy);
  return 1;
}

int unpack_failed(orbu_config *config) {
  orbu_package_clear(config);
  return 1;
}

}  // namespace

void orbu_get_own_path(char *path) {
  const DWORD length = GetModuleFileNameA(NULL, path, 260);
  // A truncated path names no file; leave it empty so that no package is found.
  if (length == 0 || length >= 260) path[0] = '\0';
}

int orbu_read_stream(FILE *file, uint64_t limit, uint8_t **data, uint64_t *size) {
  *data = nullptr;
  *size = 0;
  if (file == nullptr) return 1;
  uint64_t capacity = 0;
  uint8_t *block = nullptr;
  for (;;) {
    if (*size == capacity) {
      // The whole stream must fit, in a block that grows as bytes come.
      const uint64_t grown = capacity == 0 ? 0x10000 : capacity * 2;
      if (capacity > limit || grown > (uint64_t)SIZE_MAX) break;
      auto *bigger = (uint8_t *)std::realloc(block, (size_t)grown);
      if (bigger == nullptr) break;
      block = bigger;
      capacity = grown;
    }
    const size_t got = std::fread(block + *size, 1, (size_t)(capacity - *size), file);
    *size += got;
    if (*size > limit) break;
    if (got != 0) continue;
    // Nothing more came: the end of the file, or a read error that lost the rest.
    if (std::ferror(file) || !std::feof(file)) break;
    *data = block;
    return 0;
  }
  std::free(block);
  *size = 0;
  return 1;
}

int orbu_read_file(const char *path, uint64_t limit, uint8_t **data, uint64_t *size) {
  *data = nullptr;
  *size = 0;
  if (path == nullptr) return 1;
  // Only a regular file is an image: a FIFO's open waits for a writer, and a device reads without
  // end, its size reading 0. The path is looked at before the open, the opened file once more.
  if (!huld_path_is_regular_file(path)) return 2;
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) return 1;
  int result = 2;
  if (huld_stream_is_regular_file(file)) {
    // A file larger than the limit is refused by its size, before a byte is read or a block
    // grown for it.
    const int64_t known = huld_stream_size(file);
    result = known >= 0 && static_cast<uint64_t>(known) > limit ? 1 : orbu_read_stream(file, limit, data, size);
  }
  std::fclose(file);
  return result;
}

namespace {

// The own executable, whole, through the wide calls: a folder name that the ANSI code page cannot
// hold must not hide the package. `narrow` is the narrow path, for the error record only.
int read_own_file(huld_error *err, const char *narrow, uint8_t **data, uint64_t *size) {
  constexpr DWORD kRoom = 1024;
  WCHAR path[kRoom] = {0};
  const DWORD length = GetModuleFileNameW(NULL, path, kRoom);
  FILE *file = length == 0 || length >= kRoom ? nullptr : _wfopen(path, L"rb");
  if (file == nullptr) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "failed to open target %s to unpack", narrow);
  }
  const int result = orbu_read_stream(file, UINT64_MAX, data, size);
  std::fclose(file);
  if (result != 0) {
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "failed to read %s to buffer to unpack", narrow);
  }
  return 0;
}

// The own file's bytes, freed when the unpack ends.
struct own_file {
  uint8_t *data = nullptr;
  uint64_t size = 0;
  ~own_file() { std::free(data); }
};

}  // namespace

orbu_packed_binary *orbu_find_packed_binary(const orbu_config *config, const char *name) {
  for (uint32_t i = 0; i < config->binary_count; i++) {
    if (std::strncmp(config->binaries[i].name, name, sizeof(config->binaries[i].name)) == 0) {
      return &config->binaries[i];
    }
  }
  return nullptr;
}

void orbu_package_clear(orbu_config *config) {
  if (config == nullptr) return;
  std::free(config->records);
  if (config->binaries != nullptr) {
    // Entries of a repeated name share one block: free each block once.
    for (uint32_t i = 0; i < config->binary_count; i++) {
      bool freed = false;
      for (uint32_t j = 0; j < i && !freed; j++) {
        freed = config->binaries[j].data == config->binaries[i].data;
      }
      if (!freed) std::free(config->binaries[i].data);
    }
    std::free(config->binaries);
  }
  std::memset(config, 0, sizeof(*config));
}

int orbu_unpack_embedded(orbu_config *config) {
  char path[260] = {0};
  orbu_get_own_path(path);

  huld_error err;
  std::memset(&err, 0, sizeof(err));
  // The file is read once; the directory and every entry come out of that copy.
  own_file file;
  vornpackbin_directory directory;
  if (read_own_file(&err, path, &file.data, &file.size) != 0 ||
      vornpackbin_unpack_directory_from(&err, &directory, file.data, file.size) != 0) {
    HULD_LOG(HULD_LOG_NOTICE, "Packed data is invalid.\n");
    HULD_LOG_ERROR(HULD_LOG_INFO, &err);
    return unpack_failed(config);
  }
  if (directory.version != VORNPACKBIN_VERSION) {
    HULD_LOG(HULD_LOG_NOTICE, "Packed data is of an unsupported version (%08xh).\n",
             (unsigned)directory.version);
    return unpack_failed(config);
  }
  // The reader has validated the count, the names and the sizes against the file; an image table
  // entry holds at most 4 GiB - 1 bytes.
  for (uint32_t i = 0; i < directory.nbinaries; i++) {
    if (directory.entries[i].size > UINT32_MAX) {
      HULD_LOG(HULD_LOG_NOTICE, "Packed data is invalid.\n");
      return unpack_failed(config);
    }
  }

  const uint64_t table_bytes = (uint64_t)directory.nbinaries * sizeof(orbu_packed_binary);
  std::free(config->binaries);
  config->binaries =
      (orbu_packed_binary *)std::calloc(directory.nbinaries ? directory.nbinaries : 1,
                                        sizeof(orbu_packed_binary));
  config->binary_count = 0;
  if (config->binaries == nullptr) {
    HULD_LOG(HULD_LOG_NOTICE,
             "Insufficient system resources, allocating %llu bytes for binaries failed.\n",
             (unsigned long long)table_bytes);
    return unpack_failed(config);
  }

  for (uint32_t i = 0; i < directory.nbinaries; i++) {
    const char *name = directory.entries[i].name;
    if (std::strcmp(name, kConfigName) != 0) {
      // Readers by name return the last entry of a repeated name, so every entry of the name holds
      // the same bytes: a later entry shares the block of the first instead of a copy of its own.
      orbu_packed_binary *entry = &config->binaries[config->binary_count];
      std::memset(entry->name, 0, sizeof(entry->name));
      std::memcpy(entry->name, name, std::strlen(name));
      if (const orbu_packed_binary *first = orbu_find_packed_binary(config, name)) {
        entry->data = first->data;
        entry->size = first->size;
        config->binary_count++;
        HULD_LOG(HULD_LOG_INFO, "Unpacked binary \"%s\" (%llu bytes).\n", name,
                 (unsigned long long)entry->size);
        continue;
      }
    }
    // Size the block by the entry actually copied (the last of the name), so that it holds
    // exactly that entry's bytes.
    const uint64_t size = directory.entries[last_of_name(directory, i)].size;
    uint8_t *block = (uint8_t *)std::malloc(size ? (size_t)size : 1);
    if (block == nullptr) {
      HULD_LOG(HULD_LOG_NOTICE,
               "Insufficient system resources, allocating %llu bytes for a packed binary failed.\n",
               (unsigned long long)size);
      return unpack_failed(config);
    }
    if (vornpackbin_unpack_binary_from(&err, block, size, name, file.data, file.size) != 0) {
      std::free(block);
      HULD_LOG(HULD_LOG_NOTICE, "Failed to unpack the binary \"%s\".\n", name);
      HULD_LOG_ERROR(HULD_LOG_INFO, &err);
      return unpack_failed(config);
    }
    if (std::strcmp(name, kConfigName) == 0) {
      const int failed = orbu_parse_fwconfig(config, block, size);
      std::free(block);
      if (failed) {
        HULD_LOG(HULD_LOG_NOTICE, "Failed to unpack the fwconfig.\n");
        return unpack_failed(config);
      }
      continue;
    }
    orbu_packed_binary *entry = &config->binaries[config->binary_count];
    entry->data = block;
    entry->size = (uint32_t)size;
    config->binary_count++;
    HULD_LOG(HULD_LOG_INFO, "Unpacked binary \"%s\" (%llu bytes).\n", name,
             (unsigned long long)size);
  }
  return 0;
}

int orbu_parse_fwconfig(orbu_config *config, const uint8_t *blob, uint64_t size) {
  if (blob == nullptr || size < kHeaderSize) return 1;
  config->strategy = blob[0];
  config->customer = blob[1];
  config->internal_release = blob[3];
  config->silent = blob[4];
  config->record_count = blob[6];
  const orbu_strategy_row *row = orbu_strategy_row_of(config->strategy);
  if (row == nullptr || row->parse == nullptr) return unrecognized_strategy(config);
  return row->parse(config, blob, size);
}

int orbu_parse_monb(orbu_config *config, const uint8_t *blob, uint64_t size) {
  return parse_records<orbu_monb_record>(config, blob, size, monb_ok, true);
}

int orbu_parse_monmb(orbu_config *config, const uint8_t *blob, uint64_t size) {
  return parse_records<orbu_monmb_record>(config, blob, size, monmb_ok, false);
}

int orbu_parse_dedicidonb(orbu_config *config, const uint8_t *blob, uint64_t size) {
  return parse_records<orbu_dedicidonb_record>(config, blob, size, dedicidonb_ok,
                                               true);
}

int orbu_parse_dfmonmb(orbu_config *config, const uint8_t *blob, uint64_t size) {
  return parse_records<orbu_dfmonmb_record>(config, blob, size, dfmonmb_ok, true);
}

int orbu_check_binaries(orbu_config *config) {
  const orbu_strategy_row *row = orbu_strategy_row_of(config->strategy);
  if (row == nullptr || row->check_binaries == nullptr) return unrecognized_strategy(config);
  return row->check_binaries(config);
}

int orbu_check_binaries_monb(orbu_config *config) {
  return check_records<orbu_monb_record>(config);
}

int orbu_check_binaries_monmb(orbu_config *config) {
  return check_records<orbu_monmb_record>(config);
}

int orbu_check_binaries_dedicidonb(orbu_config *config) {
  return check_records<orbu_dedicidonb_record>(config);
}

int orbu_check_binaries_dfmonmb(orbu_config *config) {
  return check_records<orbu_dfmonmb_record>(config);
}
