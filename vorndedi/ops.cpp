// Reading and parsing the Dedi component id.
#define HULD_MODULE "vorndedi\\ops"

#include "vorndedi/ops.h"

#include <cstring>

#include "huld/huld_util.h"
#include "vornata/ata.h"
#include "vornnvme/nvme.h"

namespace {

constexpr uint32_t kIdLength = 8;
constexpr uint32_t kNvmeIdOffset = 3126;
constexpr uint32_t kAtaIdOffset = 274;
constexpr uint32_t kNvmeIdentifyLength = 4096;
constexpr uint32_t kAtaIdentifyLength = 512;

int size_zero(huld_error *err, const char *function) {
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                        "output buffer size is 0 (%s)", function);
}

// The 8 bytes at `offset`, swapped per 16-bit word for ATA before anything is cut off, then at
// most size - 1 of them, trimmed.
int parse_id(huld_error *err, char *out, uint32_t size, const void *data, uint32_t length,
             uint32_t offset, bool swap, const char *function, const char *message) {
  if (out == nullptr || size == 0) return size_zero(err, function);
  std::memset(out, 0, size);
  if (data == nullptr || length < offset + kIdLength) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__, "%s",
                          message);
  }
  char field[kIdLength];
  std::memcpy(field, static_cast<const uint8_t *>(data) + offset, kIdLength);
  if (swap) huld_swap_bytes16(field, kIdLength);
  std::memcpy(out, field, huld_min(size - 1, kIdLength));
  huld_str_trim(out);
  huld_error_clear(err);
  return 0;
}

using identify_executor = int (*)(huld_error *, huld_dev *, void *, uint32_t);
using id_parser = int (*)(huld_error *, char *, uint32_t, const void *, uint32_t);

// The identify data of `length` bytes into a zeroed buffer, then the parser.
int read_id(huld_error *err, huld_dev *dev, char *out, uint32_t size, uint32_t length,
            identify_executor identify, id_parser parse, const char *function) {
  if (out == nullptr || size == 0) return size_zero(err, function);
  std::memset(out, 0, size);
  uint8_t data[kNvmeIdentifyLength] = {0};
  if (identify(err, dev, data, length)) return 1;
  return parse(err, out, size, data, length);
}

}  // namespace

int vorndedi_parse_component_id_nvme(huld_error *err, char *out, uint32_t size, const void *data,
                                     uint32_t length) {
  return parse_id(err, out, size, data, length, kNvmeIdOffset, false, __func__,
                  "buffer not large enough to parse nvme component id");
}

int vorndedi_parse_component_id_ata(huld_error *err, char *out, uint32_t size, const void *data,
                                    uint32_t length) {
  return parse_id(err, out, size, data, length, kAtaIdOffset, true, __func__,
                  "buffer not large enough to parse ata component id");
}

int vorndedi_get_component_id_nvme(huld_error *err, huld_dev *dev, char *out, uint32_t size) {
  return read_id(err, dev, out, size, kNvmeIdentifyLength, vornnvme_execute_identify_controller,
                 vorndedi_parse_component_id_nvme, __func__);
}

int vorndedi_get_component_id_ata(huld_error *err, huld_dev *dev, char *out, uint32_t size) {
  return read_id(err, dev, out, size, kAtaIdentifyLength, vornata_execute_identify_device,
                 vorndedi_parse_component_id_ata, __func__);
}

int vorndedi_get_component_id(huld_error *err, huld_dev *dev, char *out, uint32_t size) {
  if (out == nullptr || size == 0) return size_zero(err, __func__);
  std::memset(out, 0, size);
  if (huld_dev_is_nvme(dev)) return vorndedi_get_component_id_nvme(err, dev, out, size);
  if (huld_dev_is_ata(dev)) return vorndedi_get_component_id_ata(err, dev, out, size);
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, __func__, __LINE__,
                        "device is not supported");
}
