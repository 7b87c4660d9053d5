// The embedded update package: reading the packed directory at the end of the running executable
// into the update configuration, the "fwconfig" format and its strategy records, and the check that
// every image the configuration names is present.
#pragma once

#include <cstdint>
#include <cstdio>

#include "orbu/orbu_records.h"

// Full path of the running executable; `path` holds 260 characters.
void orbu_get_own_path(char *path);

// Reads an open stream to its end into one new heap block (*data, freed by the caller; *size
// bytes): 0 when every byte came and there are at most `limit`, 1 otherwise (a read error, too
// many bytes or no memory; nothing is handed out).
int orbu_read_stream(FILE *file, uint64_t limit, uint8_t **data, uint64_t *size);
// The same for the file at a narrow path: 1 also when it cannot be opened, and at once, with
// nothing allocated, when its size is above `limit`; 2, with nothing read, when the path names no
// regular file (a directory, a pipe or FIFO, a device), checked before the open.
int orbu_read_file(const char *path, uint64_t limit, uint8_t **data, uint64_t *size);

// Reads the package embedded in the own executable into `config`: 0 when a package was read (the
// configuration and image table filled), 1 otherwise (the configuration is then cleared).
// The own file is found and opened through the wide calls, so any folder name works.
int orbu_unpack_embedded(orbu_config *config);

// Parses a "fwconfig" blob of `size` bytes into `config`: 0 or 1.
int orbu_parse_fwconfig(orbu_config *config, const uint8_t *blob, uint64_t size);

// Strategy-record parsers over the whole "fwconfig" blob (records from offset 7); `record_count`
// must already be set in `config`. 0 or 1.
int orbu_parse_monb(orbu_config *config, const uint8_t *blob, uint64_t size);
int orbu_parse_monmb(orbu_config *config, const uint8_t *blob, uint64_t size);
int orbu_parse_dedicidonb(orbu_config *config, const uint8_t *blob, uint64_t size);
int orbu_parse_dfmonmb(orbu_config *config, const uint8_t *blob, uint64_t size);

// Consistency check: 0 when every record's image is present (and not empty), 1 otherwise.
int orbu_check_binaries(orbu_config *config);
int orbu_check_binaries_monb(orbu_config *config);
int orbu_check_binaries_monmb(orbu_config *config);
int orbu_check_binaries_dedicidonb(orbu_config *config);
int orbu_check_binaries_dfmonmb(orbu_config *config);

// The first image-table entry whose name is `name`, or null.
orbu_packed_binary *orbu_find_packed_binary(const orbu_config *config, const char *name);

// Frees every heap block of `config` (a block shared by several entries once) and zeroes it.
void orbu_package_clear(orbu_config *config);
