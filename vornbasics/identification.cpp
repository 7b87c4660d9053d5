// Model and serial number by device class: NVMe first, then ATA, then SCSI.
#define HULD_MODULE "vornbasics\\identification"

#include "vornbasics/identification.h"

#include <cstring>

#include "vornata/ata.h"
#include "vornata/parse.h"
#include "vornnvme/nvme.h"
#include "vornnvme/parse.h"
#include "vornscsi/parse.h"
#include "vornscsi/scsi.h"

namespace {

constexpr uint32_t kNvmeIdentifyLength = 4096;
constexpr uint32_t kAtaIdentifyLength = 512;
constexpr uint32_t kInquiryLength = 4096;
constexpr uint8_t kSerialPage = 0x80;

using string_parser = int (*)(huld_error *, char *, uint32_t, const void *, uint32_t);

// One identity string: the parser of each class, and for SCSI the INQUIRY that carries it.
struct identity_field {
  string_parser nvme;
  string_parser ata;
  string_parser scsi;
  uint8_t scsi_evpd;
  uint8_t scsi_page;
};

const identity_field kModel = {vornnvme_identify_controller_parse_model,
                               vornata_identify_parse_model,
                               vornscsi_inquiry_parse_product_identification, 0, 0};
const identity_field kSerial = {vornnvme_identify_controller_parse_serial,
                                vornata_identify_parse_serial, vornscsi_inquiry_vpd80_parse_serial,
                                1, kSerialPage};

int read_identity(huld_error *err, huld_dev *dev, char *out, uint32_t size,
                  const identity_field &field, const char *function) {
  if (out == nullptr || size == 0) {
    return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                          "output buffer size is 0 (%s)", function);
  }
  std::memset(out, 0, size);
  uint8_t data[kInquiryLength] = {0};
  if (huld_dev_is_nvme(dev)) {
    if (vornnvme_execute_identify_controller(err, dev, data, kNvmeIdentifyLength)) return 1;
    return field.nvme(err, out, size, data, kNvmeIdentifyLength);
  }
  if (huld_dev_is_ata(dev)) {
    if (vornata_execute_identify_device(err, dev, data, kAtaIdentifyLength)) return 1;
    return field.ata(err, out, size, data, kAtaIdentifyLength);
  }
  if (huld_dev_is_scsi(dev)) {
    if (vornscsi_execute_inquiry(err, dev, field.scsi_evpd, field.scsi_page, data, kInquiryLength))
      return 1;
    return field.scsi(err, out, size, data, kInquiryLength);
  }
  return huld_error_set(err, HULD_ERROR_NOT_SUPPORTED, 0, HULD_MODULE, function, __LINE__,
                        "unsupported device interface\n");
}

}  // namespace

int vornbasics_get_model(huld_error *err, huld_dev *dev, char *out, uint32_t size) {
  return read_identity(err, dev, out, size, kModel, __func__);
}

int vornbasics_get_serial(huld_error *err, huld_dev *dev, char *out, uint32_t size) {
  return read_identity(err, dev, out, size, kSerial, __func__);
}
