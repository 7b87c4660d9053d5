// Fuzz target: the packed-directory reader and the update-configuration parser over arbitrary
// package files. The input is the whole file; every binary the directory names is unpacked, and
// "fwconfig" is parsed and checked, the way start-up reads its own executable.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "orbu/orbu_package.h"
#include "sim/machine.h"
#include "vornpackbin/vornpackbin.h"

namespace {

const std::string &scratch_path() {
  static const std::string path = [] {
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/package_fuzz_" +
           std::to_string((long)getpid()) + ".bin";
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Every log line is formatted (no sink is registered, so nothing is written).
  huld_log_level = HULD_LOG_VERBOSE;

  // The finder over the buffer itself: the last valid directory wins over any earlier one (a
  // package packed into an already packaged executable). The seed "nested-packages" holds two
  // directories; it also lets inputs grow beyond the length of two directories.
  const int64_t position = vornpackbin_find_directory(data, size);
  if (position >= 0 && (uint64_t)position + sizeof(vornpackbin_directory) > size) std::abort();
  if (position >= 0) {
    for (uint64_t later = (uint64_t)position + 1; later + sizeof(vornpackbin_directory) <= size;
         later++) {
      if (data[later + offsetof(vornpackbin_directory, signature)] == 'V' &&
          vornpackbin_directory_is_valid(data, size, later)) {
        std::abort();
      }
    }
  }

  FILE *file = std::fopen(scratch_path().c_str(), "wb");
  if (file == nullptr) return 0;
  if (size != 0 && std::fwrite(data, 1, size, file) != size) {
    std::fclose(file);
    return 0;
  }
  std::fclose(file);

  huld_error err;
  std::memset(&err, 0, sizeof(err));
  vornpackbin_directory directory;
  if (vornpackbin_unpack_directory(&err, &directory, scratch_path().c_str()) == 0) {
    // Every entry by name, into a buffer of exactly its size (a smaller one must be refused).
    for (uint32_t i = 0; i < directory.nbinaries && i < VORNPACKBIN_MAX_BINARIES; i++) {
      const uint64_t entry_size = directory.entries[i].size;
      if (entry_size > size) std::abort();  // validated against the file
      std::vector<uint8_t> out(entry_size ? entry_size : 1);
      vornpackbin_unpack_binary(&err, out.data(), entry_size, directory.entries[i].name,
                                scratch_path().c_str());
    }
  }

  // The same file as the running executable's package.
  sim::app_knobs().module_path = scratch_path();
  orbu_config config;
  std::memset(&config, 0, sizeof(config));
  if (orbu_unpack_embedded(&config) == 0) {
    orbu_check_binaries(&config);
    orbu_package_clear(&config);
  } else {
    // A failed unpack leaves the configuration cleared.
    orbu_config zero;
    std::memset(&zero, 0, sizeof(zero));
    if (std::memcmp(&zero, &config, sizeof(config)) != 0) std::abort();
  }

  // The configuration parser straight over the input.
  std::memset(&config, 0, sizeof(config));
  orbu_parse_fwconfig(&config, data, size);
  orbu_package_clear(&config);
  return 0;
}
