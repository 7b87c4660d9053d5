// A plain SCSI logical unit without a port (a RAM disk and the like): the disk class requests,
// INQUIRY and its serial page; no SCSI address, no bus reset, no miniport or NVMe requests.
#include "sim/storage/helpers.h"

namespace sim {
namespace {

class PlainDriver : public StorageDriver {
 public:
  const char *name() const override { return "plain"; }
  uint32_t bus_type() const override { return kBusScsi; }
  bool has_port() const override { return false; }

  ScsiResult execute_scsi(StorageRequest &, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    if (cdb[0] != 0x12) return scsi_invalid_opcode();
    if ((cdb[1] & 1) && cdb[2] != 0x00 && cdb[2] != 0x80) return check_condition_fixed(0x05, 0x24, 0x00);
    if (lu.scsi) return lu.scsi->execute(cdb, cdb_len, data, data_len, ddir);
    return inquiry_from_descriptor(lu, cdb, cdb_len, data, data_len, ddir);
  }
  // Nothing to reset: there is no bus.
  BOOL reset_bus(StorageRequest &r, uint8_t) override { return r.fail(ERROR_INVALID_FUNCTION); }
};

}  // namespace

std::shared_ptr<StorageDriver> make_plain_driver() { return std::make_shared<PlainDriver>(); }

}  // namespace sim
