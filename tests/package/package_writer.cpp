#include "tests/package/package_writer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace pkgtest {
namespace {

void put_u32(bytes *b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) (*b)[at + i] = (uint8_t)(v >> (8 * i));
}
void put_u64(bytes *b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; i++) (*b)[at + i] = (uint8_t)(v >> (8 * i));
}
void put_text(bytes *b, size_t at, size_t width, const std::string &text) {
  for (size_t i = 0; i < width && i < text.size(); i++) (*b)[at + i] = (uint8_t)text[i];
}

}  // namespace

bytes directory_bytes(const std::vector<entry> &entries, const directory_overrides &o) {
  if (entries.size() > 100) throw std::logic_error("at most 100 entries fit");
  bytes d(kDirectorySize, 0);
  put_u32(&d, 0, o.nbinaries.value_or((uint32_t)entries.size()));
  for (size_t i = 0; i < entries.size(); i++) {
    const size_t at = 4 + 40 * i;
    put_text(&d, at, 32, entries[i].raw_name.value_or(entries[i].name));
    put_u64(&d, at + 32, entries[i].size.value_or(entries[i].data.size()));
  }
  put_u32(&d, 4004, o.version.value_or(kVersion));
  put_text(&d, 4008, 32, std::string("VORNPACKBIN DIRECTORY SIGNATURE"));  // NUL from the zeros
  return d;
}

bytes package_bytes(const bytes &carrier, const std::vector<entry> &entries, const bytes &trailing,
                    const directory_overrides &o) {
  bytes out = carrier;
  for (const auto &e : entries) out.insert(out.end(), e.data.begin(), e.data.end());
  const bytes d = directory_bytes(entries, o);
  out.insert(out.end(), d.begin(), d.end());
  out.insert(out.end(), trailing.begin(), trailing.end());
  return out;
}

bytes fwconfig(uint8_t strategy, uint8_t count, const bytes &records, uint8_t customer,
               uint8_t internal_release, uint8_t silent) {
  bytes b = {strategy, customer, 0, internal_release, silent, 0, count};
  b.insert(b.end(), records.begin(), records.end());
  return b;
}

bytes monb_record(const std::string &model, const std::string &old_fw, const std::string &new_fw,
                  const std::string &name) {
  bytes r(91, 0);
  put_text(&r, 0, 41, model);
  put_text(&r, 41, 9, old_fw);
  put_text(&r, 50, 9, new_fw);
  put_text(&r, 59, 32, name);
  return r;
}

bytes monmb_record(const std::string &model, const std::string &old_fw, const std::string &new_fw,
                   const std::string &new_model, const std::string &name) {
  bytes r(132, 0);
  put_text(&r, 0, 41, model);
  put_text(&r, 41, 9, old_fw);
  put_text(&r, 50, 9, new_fw);
  put_text(&r, 59, 41, new_model);
  put_text(&r, 100, 32, name);
  return r;
}

bytes dedicidonb_record(const std::string &cid, const std::string &old_fw,
                        const std::string &new_fw, const std::string &name) {
  bytes r(63, 0);
  put_text(&r, 0, 13, cid);
  put_text(&r, 13, 9, old_fw);
  put_text(&r, 22, 9, new_fw);
  put_text(&r, 31, 32, name);
  return r;
}

bytes dfmonmb_record(uint32_t drive_model_id, const std::string &model, const std::string &fw,
                     const std::string &new_fw, const std::string &new_model,
                     const std::string &name) {
  bytes r(158, 0);
  put_u32(&r, 0, drive_model_id);
  put_text(&r, 4, 41, model);
  put_text(&r, 45, 20, fw);
  put_text(&r, 65, 20, new_fw);
  put_text(&r, 85, 41, new_model);
  put_text(&r, 126, 32, name);
  return r;
}

bytes concat(const std::vector<bytes> &parts) {
  bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bytes pattern(size_t n, uint8_t seed) {
  bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(seed + i * 7);
  return b;
}

bytes program(size_t n, uint8_t seed) {
  bytes b = pattern(n, seed);
  const uint8_t magic[] = {0x7f, 'E', 'L', 'F'};
  for (size_t i = 0; i < sizeof(magic) && i < n; i++) b[i] = magic[i];
  return b;
}

void write_file(const std::filesystem::path &path, const bytes &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write((const char *)data.data(), (std::streamsize)data.size());
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

bytes read_file(const std::filesystem::path &path) {
  std::ifstream in(path, std::ios::binary);
  bytes data;
  // In blocks: the tool itself, read to be packaged, is tens of megabytes.
  char block[1 << 16];
  while (in.read(block, sizeof(block)) || in.gcount() > 0)
    data.insert(data.end(), block, block + in.gcount());
  return data;
}

std::string shell_quote(const std::string &text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

run_result run_shell(const std::string &command) {
  static std::atomic<int> counter{0};
  const std::filesystem::path capture =
      std::filesystem::temp_directory_path() /
      ("package_tests_out_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  const int status = std::system((command + " >" + shell_quote(capture.string()) + " 2>&1").c_str());
  const bytes text = read_file(capture);
  std::error_code ec;
  std::filesystem::remove(capture, ec);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(text.begin(), text.end())};
}

temp_dir::temp_dir() {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("package_tests_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace pkgtest
