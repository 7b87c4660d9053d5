// Packed binaries: packing into and unpacking from a carrier file.
#include "vornpackbin/vornpackbin.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "huld/huld_util.h"

#define HULD_MODULE "vornpackbin\\pack"

namespace {

constexpr uint64_t kDirectorySize = sizeof(vornpackbin_directory);
constexpr size_t kSignatureOffset = offsetof(vornpackbin_directory, signature);

// The signature is kept masked and assembled when needed, so that a program which contains this
// reader does not also contain a complete copy of the signature that a search could mistake for
// a directory.
constexpr uint8_t kSignatureMask = 0xA5;
constexpr uint8_t kMaskedSignature[32] = {
    'V' ^ 0xA5, 'O' ^ 0xA5, 'R' ^ 0xA5, 'N' ^ 0xA5, 'P' ^ 0xA5, 'A' ^ 0xA5, 'C' ^ 0xA5,
    'K' ^ 0xA5, 'B' ^ 0xA5, 'I' ^ 0xA5, 'N' ^ 0xA5, ' ' ^ 0xA5, 'D' ^ 0xA5, 'I' ^ 0xA5,
    'R' ^ 0xA5, 'E' ^ 0xA5, 'C' ^ 0xA5, 'T' ^ 0xA5, 'O' ^ 0xA5, 'R' ^ 0xA5, 'Y' ^ 0xA5,
    ' ' ^ 0xA5, 'S' ^ 0xA5, 'I' ^ 0xA5, 'G' ^ 0xA5, 'N' ^ 0xA5, 'A' ^ 0xA5, 'T' ^ 0xA5,
    'U' ^ 0xA5, 'R' ^ 0xA5, 'E' ^ 0xA5, 0 ^ 0xA5};
static_assert(sizeof(kMaskedSignature) == sizeof(vornpackbin_directory::signature));

void assemble_signature(char out[32]) {
  // A volatile mask keeps the compiler from folding the text back into a constant.
  volatile uint8_t mask = kSignatureMask;
  const uint8_t m = mask;
  for (size_t i = 0; i < sizeof(kMaskedSignature); i++) out[i] = (char)(kMaskedSignature[i] ^ m);
}

// Length of a name held in a 32-byte field, or 32 when the field holds no NUL.
size_t name_length(const char *field) {
  const void *nul = std::memchr(field, 0, VORNPACKBIN_NAME_SIZE);
  return nul ? (size_t)((const char *)nul - field) : VORNPACKBIN_NAME_SIZE;
}

int name_equals(const char *field, const char *name) {
  const size_t length = name_length(field);
  return length < VORNPACKBIN_NAME_SIZE && std::strlen(name) == length &&
         std::memcmp(field, name, length) == 0;
}

// A whole file in one heap block.
struct loaded_file {
  uint8_t *data = nullptr;
  uint64_t size = 0;
  ~loaded_file() { std::free(data); }
};

int load_file(huld_error *err, loaded_file *file, const char *path, const char *function) {
  const int64_t size = huld_file_size(path);
  if (size < 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "failed to open target %s to unpack", path);
  }
  file->size = (uint64_t)size;
  if (file->size > (uint64_t)SIZE_MAX - 1 ||
      (file->data = (uint8_t *)std::malloc(file->size ? (size_t)file->size : 1)) == nullptr) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "failed to malloc %llu bytes for target to unpack",
                          (unsigned long long)file->size);
  }
  if (huld_file_read(path, file->data, (size_t)file->size) != 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "failed to read %s to buffer to unpack", path);
  }
  return 0;
}

// Appends to the target; on a failed append the target is cut back to its length before, so that
// no bytes stand in it that the directory does not record.
int append_or_restore(huld_error *err, const char *target, const void *data, uint64_t size,
                      const char *function, int log_lines) {
  const int64_t before = huld_file_size(target);
  const int result =
      size > (uint64_t)SIZE_MAX ? 2 : huld_file_append(target, data, (size_t)size);
  if (result == 0) return 0;
  if (result == 1) {
    if (log_lines) HULD_LOG(HULD_LOG_DEBUG, "failed to open for append\n");
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "failed to open target %s for append", target);
  }
  std::error_code ec;
  if (before >= 0) {
    std::filesystem::resize_file(std::filesystem::path(target), (uintmax_t)before, ec);
  } else {
    std::filesystem::remove(std::filesystem::path(target), ec);
  }
  if (log_lines) HULD_LOG(HULD_LOG_DEBUG, "failed to write buffer to append\n");
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                        "failed to write complete buffer to target %s", target);
}

}  // namespace

int vornpackbin_directory_is_valid(const uint8_t *buffer, uint64_t size, uint64_t position) {
  if (buffer == nullptr || size < kDirectorySize || position > size - kDirectorySize) return 0;
  char signature[32];
  assemble_signature(signature);
  if (std::memcmp(buffer + position + kSignatureOffset, signature, sizeof(signature)) != 0) {
    return 0;
  }
  vornpackbin_directory directory;
  std::memcpy(&directory, buffer + position, sizeof(directory));
  if (directory.nbinaries > VORNPACKBIN_MAX_BINARIES) return 0;
  uint64_t total = 0;
  for (uint32_t i = 0; i < directory.nbinaries; i++) {
    if (name_length(directory.entries[i].name) >= VORNPACKBIN_NAME_SIZE) return 0;
    if (directory.entries[i].size > position - total) return 0;  // overflow-free sum <= position
    total += directory.entries[i].size;
  }
  return 1;
}

int64_t vornpackbin_find_directory(const uint8_t *buffer, uint64_t size) {
  if (buffer == nullptr || size < kDirectorySize) return -1;
  char signature[32];
  assemble_signature(signature);
  for (uint64_t p = size - kDirectorySize + 1; p-- > 0;) {
    if (buffer[p + kSignatureOffset] != (uint8_t)signature[0]) continue;
    if (std::memcmp(buffer + p + kSignatureOffset, signature, sizeof(signature)) != 0) continue;
    if (vornpackbin_directory_is_valid(buffer, size, p)) return (int64_t)p;
  }
  return -1;
}

namespace {

// The directory of a whole file held in memory; `function` names the public caller in the error
// record.
int unpack_directory_in(huld_error *err, vornpackbin_directory *directory, const uint8_t *data,
                        uint64_t size, const char *function) {
  const int64_t position = vornpackbin_find_directory(data, size);
  if (position < 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "packed directory signature not present in binary");
  }
  std::memcpy(directory, data + position, sizeof(*directory));
  return huld_error_clear(err);
}

// The binary called `name` out of a whole file held in memory.
int unpack_binary_in(huld_error *err, void *out, uint64_t out_size, const char *name,
                     const uint8_t *data, uint64_t size, const char *function) {
  const int64_t position = vornpackbin_find_directory(data, size);
  if (position < 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "packed directory signature not present in binary");
  }
  vornpackbin_directory directory;
  std::memcpy(&directory, data + position, sizeof(directory));

  // The finder has validated the count, the names and that the sizes sum to at most the position.
  uint64_t total = 0, offset = 0, binary_size = 0;
  int found = 0;
  for (uint32_t i = 0; i < directory.nbinaries; i++) {
    if (name_equals(directory.entries[i].name, name)) {
      found = 1;
      offset = total;
      binary_size = directory.entries[i].size;
    }
    total += directory.entries[i].size;
  }
  if (!found) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "binary %s not present in pack directory", name);
  }
  if (out_size < binary_size) {
    return huld_error_set(
        err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
        "provided binary size is not large enough to hold packed binary (%llu/%llu)",
        (unsigned long long)out_size, (unsigned long long)binary_size);
  }
  if (binary_size != 0) {
    std::memcpy(out, data + ((uint64_t)position - total + offset), (size_t)binary_size);
  }
  return huld_error_clear(err);
}

}  // namespace

int vornpackbin_unpack_directory(huld_error *err, vornpackbin_directory *directory,
                                 const char *path) {
  loaded_file file;
  if (load_file(err, &file, path, __func__) != 0) return 1;
  return unpack_directory_in(err, directory, file.data, file.size, __func__);
}

int vornpackbin_unpack_binary(huld_error *err, void *out, uint64_t out_size, const char *name,
                              const char *path) {
  loaded_file file;
  if (load_file(err, &file, path, __func__) != 0) return 1;
  return unpack_binary_in(err, out, out_size, name, file.data, file.size, __func__);
}

int vornpackbin_unpack_directory_from(huld_error *err, vornpackbin_directory *directory,
                                      const uint8_t *data, uint64_t size) {
  return unpack_directory_in(err, directory, data, size, __func__);
}

int vornpackbin_unpack_binary_from(huld_error *err, void *out, uint64_t out_size,
                                   const char *name, const uint8_t *data, uint64_t size) {
  return unpack_binary_in(err, out, out_size, name, data, size, __func__);
}

int vornpackbin_pack_binary(huld_error *err, vornpackbin_directory *directory, const void *data,
                            uint64_t size, const char *name, const char *target) {
  directory->version = VORNPACKBIN_VERSION;
  HULD_LOG(HULD_LOG_DEBUG, "packing binary %s to %s\n", name, target);
  if (directory->nbinaries >= VORNPACKBIN_MAX_BINARIES) {
    HULD_LOG(HULD_LOG_DEBUG, "over 100 binaries packed!\n");
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0,
                      "out of space for more binaries in pack directory");
  }
  const size_t length = std::strlen(name);
  if (length > VORNPACKBIN_NAME_SIZE - 1) {
    HULD_LOG(HULD_LOG_DEBUG, "%s too long\n", name);
    return HULD_ERROR(err, HULD_ERROR_FAILURE, 0, "name specified too long, max %u characters",
                      VORNPACKBIN_NAME_SIZE - 1);
  }
  if (append_or_restore(err, target, data, size, __func__, 1) != 0) return 1;

  vornpackbin_entry *entry = &directory->entries[directory->nbinaries];
  std::memset(entry->name, 0, sizeof(entry->name));
  std::memcpy(entry->name, name, length);
  entry->size = size;
  directory->nbinaries++;
  HULD_LOG(HULD_LOG_DEBUG, "successfully appended, up to %u binaries\n",
           (unsigned)directory->nbinaries);
  return huld_error_clear(err);
}

int vornpackbin_pack_directory(huld_error *err, vornpackbin_directory *directory,
                               const char *target) {
  assemble_signature(directory->signature);
  if (append_or_restore(err, target, directory, sizeof(*directory), __func__, 0) != 0) return 1;
  HULD_LOG(HULD_LOG_DEBUG, "successfully packed directory\n");
  HULD_LOG(HULD_LOG_DEBUG, "nbinaries: %u\n", (unsigned)directory->nbinaries);
  HULD_LOG(HULD_LOG_DEBUG, "version: %08xh\n", (unsigned)directory->version);
  return huld_error_clear(err);
}
