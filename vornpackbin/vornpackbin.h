// Packed binaries: named binaries appended to a carrier file, followed by a directory that names
// them. Readers find the directory by searching the file backwards for its signature, so bytes may
// follow it (a signature table, for example).
//
// File layout: carrier bytes; the binaries back to back in directory order; the 4040-byte
// directory; optionally further bytes. Binary k starts at
//   (directory position - sum of all sizes + sum of the sizes before k).
// When two entries bear the same name, readers take the last one.
#pragma once

#include <cstdint>

#include "huld/huld_log.h"

#define VORNPACKBIN_MAX_BINARIES 100u
#define VORNPACKBIN_NAME_SIZE 32u
#define VORNPACKBIN_VERSION 0xDBDBDBDBu

#pragma pack(push, 1)
struct vornpackbin_entry {
  char name[32];  // NUL-terminated, at most 31 characters
  uint64_t size;  // length of the binary in bytes
};

// The directory, byte for byte as stored (little-endian).
struct vornpackbin_directory {
  uint32_t nbinaries;                                  // 0 to 100
  vornpackbin_entry entries[VORNPACKBIN_MAX_BINARIES]; // the first nbinaries in use
  uint32_t version;                                    // VORNPACKBIN_VERSION
  char signature[32];  // "VORNPACKBIN DIRECTORY SIGNATURE" and its NUL
};
#pragma pack(pop)
static_assert(sizeof(vornpackbin_entry) == 40);
static_assert(sizeof(vornpackbin_directory) == 4040);

// Validates the directory at `position` of a buffer holding `size` bytes of a whole file: the
// signature, at most 100 binaries, every used name NUL-terminated within its 32 bytes, and the sizes
// (summed without overflow) fitting in front of the directory. The version is not tested. 1 valid.
int vornpackbin_directory_is_valid(const uint8_t *buffer, uint64_t size, uint64_t position);

// Position of the last valid directory in a buffer that holds a whole file, or -1.
int64_t vornpackbin_find_directory(const uint8_t *buffer, uint64_t size);

// Copies the directory of the file at `path` into `directory`. 0 or 1 (err filled).
int vornpackbin_unpack_directory(huld_error *err, vornpackbin_directory *directory,
                                 const char *path);

// Copies the binary called `name` out of the file at `path` into `out` (at least `out_size`
// bytes). A name that no entry bears is a failure. 0 or 1 (err filled).
int vornpackbin_unpack_binary(huld_error *err, void *out, uint64_t out_size, const char *name,
                              const char *path);

// The same two reads over a whole carrier file already held in memory (`size` bytes at `data`),
// for a caller that opens the file itself. 0 or 1 (err filled).
int vornpackbin_unpack_directory_from(huld_error *err, vornpackbin_directory *directory,
                                      const uint8_t *data, uint64_t size);
int vornpackbin_unpack_binary_from(huld_error *err, void *out, uint64_t out_size,
                                   const char *name, const uint8_t *data, uint64_t size);

// Appends `size` bytes to the target file and records them in `directory`. A failed append leaves
// the target file as it was. 0 or 1 (err filled).
int vornpackbin_pack_binary(huld_error *err, vornpackbin_directory *directory, const void *data,
                            uint64_t size, const char *name, const char *target);

// Stamps the signature into `directory` and appends it to the target file. 0 or 1 (err filled).
int vornpackbin_pack_directory(huld_error *err, vornpackbin_directory *directory,
                               const char *target);
