// An independent writer of test packages: it serialises the packed directory and "fwconfig" byte by
// byte, so that the production packer and reader are checked against a second implementation, and
// it can produce malformed packages on purpose.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pkgtest {

using bytes = std::vector<uint8_t>;

constexpr size_t kDirectorySize = 4040;
constexpr uint32_t kVersion = 0xDBDBDBDBu;

struct entry {
  entry(std::string n, bytes d, std::optional<uint64_t> s = {}, std::optional<std::string> raw = {})
      : name(std::move(n)), data(std::move(d)), size(s), raw_name(std::move(raw)) {}
  std::string name;
  bytes data;
  std::optional<uint64_t> size;         // recorded size instead of data.size()
  std::optional<std::string> raw_name;  // exactly these bytes (up to 32) in the name field
};

struct directory_overrides {
  std::optional<uint32_t> nbinaries;
  std::optional<uint32_t> version;
};

// The 4040 directory bytes for these entries.
bytes directory_bytes(const std::vector<entry> &entries, const directory_overrides &o = {});

// carrier, then every entry's data, then the directory, then the trailing bytes.
bytes package_bytes(const bytes &carrier, const std::vector<entry> &entries,
                    const bytes &trailing = {}, const directory_overrides &o = {});

// "fwconfig": the 7-byte header and the given record bytes.
bytes fwconfig(uint8_t strategy, uint8_t count, const bytes &records, uint8_t customer = 0,
               uint8_t internal_release = 0, uint8_t silent = 0);

// Records; a text given longer than its field fills the field without NUL (cut at the width).
bytes monb_record(const std::string &model, const std::string &old_fw, const std::string &new_fw,
                  const std::string &name);
bytes monmb_record(const std::string &model, const std::string &old_fw, const std::string &new_fw,
                   const std::string &new_model, const std::string &name);
bytes dedicidonb_record(const std::string &cid, const std::string &old_fw,
                        const std::string &new_fw, const std::string &name);
bytes dfmonmb_record(uint32_t drive_model_id, const std::string &model, const std::string &fw,
                     const std::string &new_fw, const std::string &new_model,
                     const std::string &name);

bytes concat(const std::vector<bytes> &parts);
bytes pattern(size_t n, uint8_t seed);
// A pattern that begins as a Linux program ("\x7fELF"), which the packer takes as a tool.
bytes program(size_t n, uint8_t seed);

void write_file(const std::filesystem::path &path, const bytes &data);
bytes read_file(const std::filesystem::path &path);

// Runs a shell command with its standard output and error captured.
struct run_result {
  int exit_code;  // -1 when the command did not end normally
  std::string output;
};
run_result run_shell(const std::string &command);
std::string shell_quote(const std::string &text);

// A fresh directory under the system temporary folder, removed on destruction.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  const std::filesystem::path &path() const { return path_; }
  std::string file(const std::string &name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace pkgtest
