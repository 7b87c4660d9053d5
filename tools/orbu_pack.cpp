// orbu_pack: builds an update package and appends it to a copy of the update tool.
//
//   orbu_pack [--strip-package] <description.json> <input executable> <output file>
//
// The input must be the plain tool. A file that is not a program (neither a Windows PE nor a
// Linux ELF file) is refused, and so is an executable that already carries a package (a damaged
// outer package would let the tool fall back to the inner, older one), unless --strip-package is
// given, which drops every package from the input first.
// The output is the executable's bytes, then every image and the update configuration "fwconfig"
// as packed binaries, then the packed directory. The description:
//
//   {
//     "customer": "generic" | "duzori" | "dedi" | 0..255,
//     "strategy": "monb" | "monmb" | "dedicidonb" | "dfmonmb",
//     "internal_release": false,
//     "silent": false,
//     "records": [ { ...the strategy's fields... } ],
//     "images": { "name": "path relative to the description", ... }
//   }
//
// "images" may also be an array of {"name": ..., "path": ...} to fix the packing order (an object
// is packed in name order). Record fields per strategy:
//   monb:       model, old_firmware, new_firmware, binary_name
//   monmb:      model, old_firmware, new_firmware, new_model, binary_name
//   dedicidonb: component_id, old_firmware, new_firmware, binary_name
//   dfmonmb:    drive_model_id (number), model, firmware, new_firmware, new_model, binary_name
// Text fields must be shorter than their field width (room for the NUL). Every record's
// binary_name must name one of the images, which must not be empty; no image may exceed
// 4294967295 bytes. No object may hold a key twice, and nothing may nest deeper than 8 levels
// (the format itself nests 3).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "orbu/orbu_records.h"
#include "vornpackbin/vornpackbin.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr char kConfigName[] = "fwconfig";
constexpr char kGiveTheTool[] = "; give the tool: build/native/orbu/orbu or build/windows/orbu/orbu.exe";

struct bad_description : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct image {
  std::string name;
  fs::path path;
};

// Reads a whole file into `bytes`: 0, or the system's reason why it cannot be read.
int read_file(const fs::path &path, std::vector<uint8_t> *bytes) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return errno != 0 ? errno : EIO;
  try {
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::ios_base::failure &) {  // a folder fails its first read
    return errno != 0 ? errno : EIO;
  }
  if (in.bad()) return errno != 0 ? errno : EIO;
  return 0;
}

// Deepest nesting a description may have: the format nests 3 levels (the description, "records"
// or "images", a record or an image entry); a little room beyond that still gets the field's own
// message.
constexpr size_t kMaxDepth = 8;

// Watches the description while it is parsed, before any value is built from it: a key given twice
// in one object (the parser would keep the last one silently) or nesting deeper than kMaxDepth (a
// deep value would exhaust the stack when it is copied) stops the parse with `problem` saying
// where. A syntax error stops it as well, with the parser's message.
class shape_check : public json::json_sax_t {
 public:
  std::string problem;
  bool syntax_error = false;

  bool null() override { return element(); }
  bool boolean(bool) override { return element(); }
  bool number_integer(number_integer_t) override { return element(); }
  bool number_unsigned(number_unsigned_t) override { return element(); }
  bool number_float(number_float_t, const string_t &) override { return element(); }
  bool string(string_t &) override { return element(); }
  bool binary(binary_t &) override { return element(); }
  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t &name) override {
    frame &current = frames_.back();
    if (!current.keys.insert(name).second) {
      problem = "\"" + name + "\" is given twice " +
                (frames_.size() == 1 ? std::string("at the top level") : "in " + path());
      return false;
    }
    current.key = name;
    return true;
  }
  bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &e) override {
    problem = e.what();
    syntax_error = true;
    return false;
  }

 private:
  struct frame {
    bool object;
    std::set<std::string> keys;  // an object's keys so far
    std::string key;             // an object's current key
    size_t elements = 0;         // an array's elements so far
  };

  bool element() {
    if (!frames_.empty() && !frames_.back().object) frames_.back().elements++;
    return true;
  }
  bool open(bool object) {
    element();
    if (frames_.size() == kMaxDepth) {
      const std::string what = frames_.size() > 1 && frames_[0].object
                                   ? "\"" + frames_[0].key + "\""
                                   : std::string("the description");
      problem = what + " nests deeper than " + std::to_string(kMaxDepth) +
                " levels (a description has 3)";
      return false;
    }
    frames_.push_back({object, {}, {}, 0});
    return true;
  }
  bool close() {
    frames_.pop_back();
    return true;
  }
  // Where the innermost open value stands, as records[0] or images.
  std::string path() const {
    std::string text;
    for (size_t i = 0; i + 1 < frames_.size(); i++) {
      if (frames_[i].object) {
        text += (i == 0 ? "" : ".") + frames_[i].key;
      } else {
        text += "[" + std::to_string(frames_[i].elements - 1) + "]";
      }
    }
    return text;
  }

  std::vector<frame> frames_;
};

// Reads and parses the description; its shape is checked during the parse.
json read_description(const fs::path &path) {
  std::ifstream in(path);
  if (!in) throw bad_description("cannot read " + path.string());
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw bad_description("cannot read " + path.string());
  shape_check check;
  if (!json::sax_parse(text.str(), &check)) {
    if (check.syntax_error) throw bad_description(path.string() + ": " + check.problem);
    throw bad_description(check.problem);
  }
  return json::parse(text.str());
}

// Copies a text field of the record into a NUL-padded field of `width` bytes.
void put_text(const json &record, const char *key, char *field, size_t width, size_t index) {
  const std::string where = "record " + std::to_string(index) + ": ";
  if (!record.contains(key)) throw bad_description(where + "missing field \"" + key + "\"");
  const json &value = record.at(key);
  if (!value.is_string()) throw bad_description(where + "field \"" + key + "\" is not text");
  const std::string text = value.get<std::string>();
  if (text.size() >= width) {
    throw bad_description(where + "field \"" + key + "\" is longer than " +
                          std::to_string(width - 1) + " characters");
  }
  if (text.find('\0') != std::string::npos) {
    throw bad_description(where + "field \"" + key + "\" holds a NUL character");
  }
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), text.size());
}

void check_keys(const json &record, const std::vector<std::string> &keys, size_t index) {
  if (!record.is_object()) {
    throw bad_description("record " + std::to_string(index) + " is not an object");
  }
  for (const auto &item : record.items()) {
    bool known = false;
    for (const auto &key : keys) known = known || item.key() == key;
    if (!known) {
      throw bad_description("record " + std::to_string(index) + ": unknown field \"" +
                            item.key() + "\"");
    }
  }
}

template <typename Record>
void append_record(std::vector<uint8_t> *blob, const Record &record) {
  const uint8_t *bytes = (const uint8_t *)&record;
  blob->insert(blob->end(), bytes, bytes + sizeof(record));
}

void append_records(std::vector<uint8_t> *blob, uint32_t strategy, const json &records) {
  for (size_t i = 0; i < records.size(); i++) {
    const json &r = records[i];
    switch (strategy) {
      case ORBU_STRATEGY_MONB: {
        check_keys(r, {"model", "old_firmware", "new_firmware", "binary_name"}, i);
        orbu_monb_record rec;
        put_text(r, "model", rec.model, sizeof(rec.model), i);
        put_text(r, "old_firmware", rec.old_firmware, sizeof(rec.old_firmware), i);
        put_text(r, "new_firmware", rec.new_firmware, sizeof(rec.new_firmware), i);
        put_text(r, "binary_name", rec.binary_name, sizeof(rec.binary_name), i);
        append_record(blob, rec);
        break;
      }
      case ORBU_STRATEGY_MONMB: {
        check_keys(r, {"model", "old_firmware", "new_firmware", "new_model", "binary_name"}, i);
        orbu_monmb_record rec;
        put_text(r, "model", rec.model, sizeof(rec.model), i);
        put_text(r, "old_firmware", rec.old_firmware, sizeof(rec.old_firmware), i);
        put_text(r, "new_firmware", rec.new_firmware, sizeof(rec.new_firmware), i);
        put_text(r, "new_model", rec.new_model, sizeof(rec.new_model), i);
        put_text(r, "binary_name", rec.binary_name, sizeof(rec.binary_name), i);
        append_record(blob, rec);
        break;
      }
      case ORBU_STRATEGY_DEDICIDONB: {
        check_keys(r, {"component_id", "old_firmware", "new_firmware", "binary_name"}, i);
        orbu_dedicidonb_record rec;
        put_text(r, "component_id", rec.component_id, sizeof(rec.component_id), i);
        put_text(r, "old_firmware", rec.old_firmware, sizeof(rec.old_firmware), i);
        put_text(r, "new_firmware", rec.new_firmware, sizeof(rec.new_firmware), i);
        put_text(r, "binary_name", rec.binary_name, sizeof(rec.binary_name), i);
        append_record(blob, rec);
        break;
      }
      default: {
        check_keys(r,
                   {"drive_model_id", "model", "firmware", "new_firmware", "new_model",
                    "binary_name"},
                   i);
        orbu_dfmonmb_record rec;
        const json id = r.value("drive_model_id", json());
        if (!id.is_number_unsigned() || id.get<uint64_t>() > UINT32_MAX) {
          throw bad_description("record " + std::to_string(i) +
                                ": \"drive_model_id\" must be a number from 0 to 4294967295");
        }
        rec.drive_model_id = id.get<uint32_t>();  // little-endian, as stored
        put_text(r, "model", rec.model, sizeof(rec.model), i);
        put_text(r, "firmware", rec.firmware, sizeof(rec.firmware), i);
        put_text(r, "new_firmware", rec.new_firmware, sizeof(rec.new_firmware), i);
        put_text(r, "new_model", rec.new_model, sizeof(rec.new_model), i);
        put_text(r, "binary_name", rec.binary_name, sizeof(rec.binary_name), i);
        append_record(blob, rec);
        break;
      }
    }
  }
}

uint8_t flag(const json &description, const char *key) {
  if (!description.contains(key)) return 0;
  const json &value = description.at(key);
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_unsigned() && value.get<uint64_t>() <= 255) return value.get<uint8_t>();
  throw bad_description(std::string("\"") + key + "\" must be true, false or 0..255");
}

uint8_t customer_byte(const json &description) {
  if (!description.contains("customer")) return ORBU_CUSTOMER_GENERIC;
  const json &value = description.at("customer");
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    if (text == "generic") return ORBU_CUSTOMER_GENERIC;
    if (text == "duzori") return ORBU_CUSTOMER_DUZORI;
    if (text == "dedi") return ORBU_CUSTOMER_DEDI;
  } else if (value.is_number_unsigned() && value.get<uint64_t>() <= 255) {
    return value.get<uint8_t>();
  }
  throw bad_description("\"customer\" must be \"generic\", \"duzori\", \"dedi\" or 0..255");
}

// The "fwconfig" bytes: the 7-byte header and the strategy's records.
std::vector<uint8_t> build_fwconfig(const json &description) {
  static const std::map<std::string, uint32_t> strategies = {
      {"monb", ORBU_STRATEGY_MONB},
      {"monmb", ORBU_STRATEGY_MONMB},
      {"dedicidonb", ORBU_STRATEGY_DEDICIDONB},
      {"dfmonmb", ORBU_STRATEGY_DFMONMB}};
  if (!description.contains("strategy")) throw bad_description("\"strategy\" is missing");
  const json strategy_value = description.at("strategy");
  if (!strategy_value.is_string()) {
    throw bad_description("\"strategy\" must be \"monb\", \"monmb\", \"dedicidonb\" or \"dfmonmb\"");
  }
  const auto found = strategies.find(strategy_value.get<std::string>());
  if (found == strategies.end()) {
    throw bad_description("unknown strategy \"" + strategy_value.get<std::string>() +
                          "\" (monb, monmb, dedicidonb or dfmonmb)");
  }
  const json records = description.value("records", json::array());
  if (!records.is_array()) throw bad_description("\"records\" must be an array");
  if (records.size() > 255) throw bad_description("more than 255 records");

  std::vector<uint8_t> blob(7, 0);
  blob[0] = (uint8_t)found->second;
  blob[1] = customer_byte(description);
  blob[3] = flag(description, "internal_release");
  blob[4] = flag(description, "silent");
  blob[6] = (uint8_t)records.size();
  append_records(&blob, found->second, records);
  return blob;
}

std::vector<image> list_images(const json &description, const fs::path &base) {
  std::vector<image> images;
  const json list = description.value("images", json::object());
  auto add = [&](const std::string &name, const json &path) {
    if (!path.is_string()) throw bad_description("image \"" + name + "\": path is not text");
    if (name.empty()) throw bad_description("an image has an empty name");
    if (name.size() > VORNPACKBIN_NAME_SIZE - 1) {
      throw bad_description("image name \"" + name + "\" is longer than 31 characters");
    }
    if (name.find('\0') != std::string::npos) {
      throw bad_description("an image name holds a NUL character");
    }
    if (name == kConfigName) throw bad_description("the image name \"fwconfig\" is reserved");
    for (const auto &other : images) {
      if (other.name == name) throw bad_description("image \"" + name + "\" is named twice");
    }
    images.push_back({name, base / fs::path(path.get<std::string>())});
  };
  if (list.is_object()) {
    for (const auto &item : list.items()) add(item.key(), item.value());
  } else if (list.is_array()) {
    for (const auto &item : list) {
      if (!item.is_object() || !item.contains("name") || !item.at("name").is_string() ||
          !item.contains("path")) {
        throw bad_description("each entry of \"images\" needs \"name\" and \"path\"");
      }
      add(item.at("name").get<std::string>(), item.at("path"));
    }
  } else {
    throw bad_description("\"images\" must be an object or an array");
  }
  if (images.size() + 1 > VORNPACKBIN_MAX_BINARIES) {
    throw bad_description("more than " + std::to_string(VORNPACKBIN_MAX_BINARIES) +
                          " binaries (the images and \"fwconfig\")");
  }
  return images;
}

// The update tool stops before touching any device when a record names an image that the package
// lacks or that is empty; such a package is refused here instead of being built.
void check_record_images(const json &description, const std::vector<image> &images,
                         const std::vector<std::vector<uint8_t>> &contents) {
  const json records = description.value("records", json::array());
  for (size_t i = 0; i < records.size(); i++) {
    const std::string name = records[i].at("binary_name").get<std::string>();
    size_t found = images.size();
    for (size_t k = 0; k < images.size() && found == images.size(); k++) {
      if (images[k].name == name) found = k;
    }
    if (found == images.size()) {
      throw bad_description("record " + std::to_string(i) + ": image \"" + name +
                            "\" is not in \"images\"");
    }
    if (contents[found].empty()) {
      throw bad_description("record " + std::to_string(i) + ": image \"" + name + "\" is empty");
    }
  }
}

// Whether the bytes are a program the tool can be: a Windows PE image ("MZ", then "PE\0\0" where
// the DOS header's e_lfanew points) or a Linux ELF file.
bool is_program(const std::vector<uint8_t> &file) {
  if (file.size() >= 4 && std::memcmp(file.data(), "\x7f" "ELF", 4) == 0) return true;
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return false;
  const uint32_t pe_offset = (uint32_t)file[0x3c] | (uint32_t)file[0x3d] << 8 |
                             (uint32_t)file[0x3e] << 16 | (uint32_t)file[0x3f] << 24;
  return pe_offset <= file.size() - 4 && std::memcmp(file.data() + pe_offset, "PE\0\0", 4) == 0;
}

// Length of the plain tool in front of any package the executable carries (the whole length when
// it carries none); packages packed into an already packaged executable are stripped one by one.
uint64_t plain_tool_length(const std::vector<uint8_t> &executable) {
  uint64_t length = executable.size();
  int64_t position;
  while ((position = vornpackbin_find_directory(executable.data(), length)) >= 0) {
    vornpackbin_directory directory;
    std::memcpy(&directory, executable.data() + position, sizeof(directory));
    // The finder has checked that the sizes sum to at most the position.
    uint64_t total = 0;
    for (uint32_t i = 0; i < directory.nbinaries; i++) total += directory.entries[i].size;
    length = (uint64_t)position - total;
  }
  return length;
}

void pack(huld_error *err, vornpackbin_directory *directory, const std::vector<uint8_t> &bytes,
          const std::string &name, const std::string &target) {
  if (vornpackbin_pack_binary(err, directory, bytes.data(), bytes.size(), name.c_str(),
                              target.c_str()) != 0) {
    throw std::runtime_error("packing \"" + name + "\" failed: " + err->message);
  }
}

struct options {
  bool check_records = true;
  bool strip_package = false;
};

int run(const fs::path &description_path, const fs::path &input, const fs::path &output,
        const options &opts) {
  const json description = read_description(description_path);
  if (!description.is_object()) throw bad_description("the description must be a JSON object");
  for (const auto &item : description.items()) {
    static const char *const known[] = {"customer", "strategy", "internal_release",
                                        "silent",   "records",  "images"};
    bool ok = false;
    for (const char *key : known) ok = ok || item.key() == key;
    if (!ok) throw bad_description("unknown key \"" + item.key() + "\"");
  }

  const std::vector<uint8_t> fwconfig = build_fwconfig(description);
  const std::vector<image> images = list_images(description, description_path.parent_path());
  std::vector<std::vector<uint8_t>> contents;
  for (const auto &img : images) {
    if (!fs::is_regular_file(img.path)) {
      throw bad_description("image \"" + img.name + "\": no file " + img.path.string());
    }
    // The tool keeps an image's size in 32 bits and refuses a package with a larger one.
    std::error_code size_error;
    const uintmax_t image_size = fs::file_size(img.path, size_error);
    if (size_error) throw bad_description("cannot read " + img.path.string());
    if (image_size > UINT32_MAX) {
      throw bad_description("image \"" + img.name + "\" is larger than 4294967295 bytes");
    }
    contents.emplace_back();
    if (const int reason = read_file(img.path, &contents.back())) {
      throw bad_description("image \"" + img.name + "\": cannot read " + img.path.string() + ": " +
                            std::strerror(reason));
    }
  }
  if (opts.check_records) check_record_images(description, images, contents);
  std::vector<uint8_t> carrier;
  if (const int reason = read_file(input, &carrier)) {
    throw std::runtime_error("cannot read the input program " + input.string() + ": " +
                             std::strerror(reason) + kGiveTheTool);
  }
  if (!is_program(carrier)) {
    throw std::runtime_error(
        input.string() + " is not a program (neither a Windows PE nor a Linux ELF file)" + kGiveTheTool);
  }
  const uint64_t plain_length = plain_tool_length(carrier);
  if (plain_length != carrier.size()) {
    if (!opts.strip_package) {
      throw std::runtime_error(input.string() +
                               " already carries an update package; give the plain tool, or "
                               "--strip-package to drop the package it carries");
    }
    carrier.resize((size_t)plain_length);
  }

  // Built next to the output and renamed at the end, so that a failure leaves no output file. The
  // rename would replace whatever stands at the output's name: anything but a regular file (a
  // device, a pipe, a folder) is refused, not replaced.
  std::error_code ec;
  const fs::file_status existing = fs::status(output, ec);
  if (fs::exists(existing) && !fs::is_regular_file(existing))
    throw std::runtime_error("cannot write " + output.string() + ": it exists and is not a regular file");
  const fs::path temporary = output.string() + ".partial";
  fs::remove(temporary, ec);
  try {
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out.write((const char *)carrier.data(), (std::streamsize)carrier.size());
      out.close();
      if (!out) {
        // Named as the user gave it, with the system's reason: the temporary beside it is ours.
        const int reason = errno;
        throw std::runtime_error("cannot write " + output.string() + ": " + std::strerror(reason));
      }
    }
    huld_error err;
    std::memset(&err, 0, sizeof(err));
    vornpackbin_directory directory;
    std::memset(&directory, 0, sizeof(directory));
    const std::string target = temporary.string();
    for (size_t i = 0; i < images.size(); i++) {
      pack(&err, &directory, contents[i], images[i].name, target);
    }
    pack(&err, &directory, fwconfig, kConfigName, target);
    if (vornpackbin_pack_directory(&err, &directory, target.c_str()) != 0) {
      throw std::runtime_error(std::string("writing the directory failed: ") + err.message);
    }
    // Keep the executable runnable.
    fs::permissions(temporary, fs::status(input).permissions(), fs::perm_options::replace, ec);
    fs::rename(temporary, output);
  } catch (...) {
    fs::remove(temporary, ec);
    throw;
  }
  return 0;
}

constexpr const char *kUsageLine =
    "usage: orbu_pack [--strip-package] [--unchecked] <description.json> <input executable> <output file>\n";

void print_help() {
  std::fputs(kUsageLine, stdout);
  std::fputs("\n"
             "Appends the update package that DESCRIPTION names (its records and images) to a copy of\n"
             "the plain tool (build/native/orbu/orbu or build/windows/orbu/orbu.exe) and writes it as\n"
             "OUTPUT. The description's fields are in docs/running.md (\"The package description\").\n"
             "  --strip-package  drop the package the input already carries (refused otherwise)\n"
             "  --unchecked      let records name missing or empty images (for tests of the tool's\n"
             "                   own consistency check)\n"
             "  -h, --help       this text\n",
             stdout);
}

}  // namespace

int main(int argc, char **argv) {
  // "--unchecked" builds a package whose records may name missing or empty images: only for
  // testing the tool's own consistency check.
  options opts;
  int first = 1;
  for (; first < argc && argv[first][0] == '-' && argv[first][1] != '\0'; first++) {
    if (std::strcmp(argv[first], "--unchecked") == 0) {
      opts.check_records = false;
    } else if (std::strcmp(argv[first], "--strip-package") == 0) {
      opts.strip_package = true;
    } else if (std::strcmp(argv[first], "--help") == 0 || std::strcmp(argv[first], "-h") == 0) {
      print_help();
      return 0;
    } else if (std::strcmp(argv[first], "--") == 0) {
      first++;
      break;
    } else {
      std::fprintf(stderr, "orbu_pack: unknown option %s (--help for the options)\n%s", argv[first], kUsageLine);
      return 1;
    }
  }
  if (argc - first != 3) {
    std::fputs(kUsageLine, stderr);
    return 1;
  }
  argv += first - 1;
  try {
    run(fs::path(argv[1]), fs::path(argv[2]), fs::path(argv[3]), opts);
  } catch (const bad_description &e) {
    std::fprintf(stderr, "orbu_pack: bad description: %s\n", e.what());
    return 1;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "orbu_pack: %s\n", e.what());
    return 1;
  }
  std::printf("orbu_pack: wrote %s\n", argv[3]);
  return 0;
}
