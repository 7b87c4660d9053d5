// sim_image: writes a firmware image in the test format the simulated drives accept, so that a
// package for a drive of a machine description can be made without writing code.
//
//   sim_image --target ata|nvme|scsi --revision REV [options] <output file>
//
//   --revision REV           the new firmware revision (at most 8 characters, blank padded)
//   --inquiry-revision R     the new INQUIRY revision (4 characters; default the last 4 of REV)
//   --model TEXT             the model the drive reports after the update (default: unchanged)
//   --for-model TEXT         refused by a drive whose model does not begin with TEXT (at most 20)
//   --size N                 the image's length in bytes, header included (default 20000; 128 to
//                            256 MiB)
//   --seed N                 varies the payload bytes (default 90)
//
// The layout is in docs/running.md and platform/include/sim/drives/fw_image.h.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "sim/drives/fw_image.h"

namespace {

const char kUsage[] =
    "usage: sim_image --target ata|nvme|scsi --revision REV [options] <output file>\n"
    "\n"
    "Writes a firmware image in the test format the simulated drives accept.\n"
    "  --target ata|nvme|scsi   the interface whose download the drive accepts\n"
    "  --revision REV           the revision the drive reports afterwards (at most 8 characters)\n"
    "  --inquiry-revision R     the INQUIRY revision (at most 4; default the last 4 of REV)\n"
    "  --model TEXT             the model the drive reports afterwards (at most 40; default\n"
    "                           unchanged)\n"
    "  --for-model TEXT         a drive whose model does not begin with TEXT refuses the image\n"
    "                           (at most 20; default any drive of the interface)\n"
    "  --size N                 the image's length in bytes, header included (128 to 268435456;\n"
    "                           default 20000)\n"
    "  --seed N                 varies the payload bytes (0 to 255; default 90)\n"
    "  -h, --help               this text\n"
    "The folder of the output file must exist. The layout is in docs/running.md.\n";

int usage(const char *why) {
  std::fprintf(stderr,
               "sim_image: %s\nusage: sim_image --target ata|nvme|scsi --revision REV [options] "
               "<output file> (--help for the options)\n",
               why);
  return 1;
}

// A whole decimal number within [low, high].
bool read_number(const char *text, unsigned long low, unsigned long high, unsigned long *out) {
  if (text[0] < '0' || text[0] > '9') return false;
  char *end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  sim::TestImageSpec spec;
  spec.revision.clear();
  bool have_target = false;
  const char *output = nullptr;
  for (int i = 1; i < argc; i++) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("%s", kUsage);
      return 0;
    }
    if (arg.rfind("--", 0) != 0) {
      if (output != nullptr) return usage("one output file only");
      output = argv[i];
      continue;
    }
    if (i + 1 >= argc) return usage((arg + " needs a value").c_str());
    const char *value = argv[++i];
    unsigned long number = 0;
    if (arg == "--target") {
      if (std::strcmp(value, "ata") == 0) {
        spec.target = sim::ImageTarget::Ata;
      } else if (std::strcmp(value, "nvme") == 0) {
        spec.target = sim::ImageTarget::Nvme;
      } else if (std::strcmp(value, "scsi") == 0) {
        spec.target = sim::ImageTarget::Scsi;
      } else {
        return usage("--target is ata, nvme or scsi");
      }
      have_target = true;
    } else if (arg == "--revision") {
      spec.revision = value;
    } else if (arg == "--inquiry-revision") {
      spec.inquiry_revision = value;
    } else if (arg == "--model") {
      spec.model = value;
    } else if (arg == "--for-model") {
      spec.target_model = value;
    } else if (arg == "--size") {
      if (!read_number(value, sim::kImageHeaderSize, 256ul << 20, &number))
        return usage("--size is a whole number of bytes, 128 to 268435456");
      spec.total_size = static_cast<uint32_t>(number);
    } else if (arg == "--seed") {
      if (!read_number(value, 0, 255, &number)) return usage("--seed is a number from 0 to 255");
      spec.pattern_seed = static_cast<uint8_t>(number);
    } else {
      return usage(("unknown option " + arg).c_str());
    }
  }
  if (!have_target) return usage("--target is required");
  if (output == nullptr) return usage("no output file");
  // Each text must fit its field: a longer one would be cut, and the drive would then report
  // something else than the package's records expect.
  const struct {
    const char *option;
    const std::string &text;
    size_t width;
  } fields[] = {{"--revision", spec.revision, 8},
                {"--inquiry-revision", spec.inquiry_revision, 4},
                {"--model", spec.model, 40},
                {"--for-model", spec.target_model, 20}};
  for (const auto &field : fields) {
    if (field.text.size() > field.width)
      return usage((std::string(field.option) + " is longer than " +
                    std::to_string(field.width) + " characters")
                       .c_str());
  }
  if (spec.revision.find_first_not_of(' ') == std::string::npos)
    return usage("--revision is required and not blank");

  const std::vector<uint8_t> image = sim::make_test_image(spec);
  std::FILE *out = std::fopen(output, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "sim_image: cannot write %s: %s\n", output, std::strerror(errno));
    return 1;
  }
  // A short write, a failed flush and a failed close (the device or the disk is full) each lose
  // the image.
  bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  int reason = written ? 0 : errno;
  if (written && std::fflush(out) != 0) {
    written = false;
    reason = errno;
  }
  if (std::fclose(out) != 0 && written) {
    written = false;
    reason = errno;
  }
  if (!written) {
    std::fprintf(stderr, "sim_image: cannot write %s: %s\n", output, std::strerror(reason));
    // A cut image would be refused by every drive: none is left behind (a device stays).
    std::error_code ec;
    if (std::filesystem::is_regular_file(output, ec)) std::filesystem::remove(output, ec);
    return 1;
  }
  std::printf("sim_image: wrote %s (%zu bytes)\n", output, image.size());
  return 0;
}
