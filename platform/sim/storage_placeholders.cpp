// Personalities whose own requests are still to be built: Intel RST and RSTe, the maker's NVMe
// driver, NevoX, the UAS bridges and a SAS HBA. Machine descriptions can already name them; they
// answer the common requests (device number, descriptor, address, disk cache, bus reset on the
// adapter) and INQUIRY with its serial page, and refuse everything else as a driver without the
// feature does.
#include <cstring>

#include "sim/storage/helpers.h"

namespace sim {
namespace {

struct PlaceholderTraits {
  const char *name;
  uint32_t bus_type;
  DWORD protocol_command_error;  // the driver's answer to STORAGE_PROTOCOL_COMMAND
  bool foreign_miniport_rc;      // its port answers foreign signatures with ReturnCode 1
};

constexpr PlaceholderTraits kTraits[] = {
    {"intel_rst", kBusRaid, ERROR_NOT_SUPPORTED, true},
    {"intel_rste", kBusRaid, ERROR_INVALID_FUNCTION, true},
    {"maker_nvme", kBusNvme, ERROR_INVALID_FUNCTION, false},
    {"nevox", kBusNvme, ERROR_INVALID_FUNCTION, false},
    {"uas", kBusUsb, ERROR_INVALID_FUNCTION, false},
    {"uas_sat", kBusUsb, ERROR_INVALID_FUNCTION, false},
    {"sas", kBusSas, ERROR_INVALID_FUNCTION, true},
};

class PlaceholderDriver : public StorageDriver {
 public:
  explicit PlaceholderDriver(const PlaceholderTraits &t) : t_(t) {}
  const char *name() const override { return t_.name; }
  uint32_t bus_type() const override { return t_.bus_type; }
  bool foreign_miniport_rc_default() const override { return t_.foreign_miniport_rc; }
  BOOL protocol_command(StorageRequest &r) override { return r.fail(t_.protocol_command_error); }

  // INQUIRY and VPD pages from the drive's own SCSI face; an NVMe drive through the translation.
  ScsiResult execute_scsi(StorageRequest &, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    if (cdb[0] != 0x12) return scsi_invalid_opcode();
    if (lu.scsi) return lu.scsi->execute(cdb, cdb_len, data, data_len, ddir);
    if (lu.sat) return lu.sat->execute(cdb, cdb_len, data, data_len, ddir);
    if (lu.nvme) {
      NvmeController &ctl = *lu.nvme;
      const NvmeRun run = [&ctl](const NvmeCommand &cmd, bool admin, uint8_t *d, uint32_t n) {
        return admin ? ctl.admin(cmd, d, n) : ctl.io(cmd, d, n);
      };
      return translate_scsi_to_nvme(run, cdb, cdb_len, data, data_len, ddir, false);
    }
    return inquiry_from_descriptor(lu, cdb, cdb_len, data, data_len, ddir);
  }

 private:
  PlaceholderTraits t_;
};

}  // namespace

std::shared_ptr<StorageDriver> make_placeholder_driver(const std::string &personality) {
  for (const PlaceholderTraits &t : kTraits)
    if (personality == t.name) return std::make_shared<PlaceholderDriver>(t);
  return nullptr;
}

}  // namespace sim
