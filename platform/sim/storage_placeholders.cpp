// Personalities whose own requests are still to be built: Intel RST and a SAS HBA. Machine
// descriptions can already name them; they
// answer the common requests (device number, descriptor, address, disk cache, bus reset on the
// adapter) and INQUIRY with its serial page, and refuse everything else as a driver without the
// feature does. The RAID and HBA personalities already read and keep their own contents ("csmi",
// "rste", "nevox": sim/storage/contents.h) for the requests still to come.
#include <cstring>
#include <nlohmann/json.hpp>

#include "sim/storage/contents.h"
#include "sim/storage/helpers.h"

namespace sim {
namespace {

struct PlaceholderTraits {
  const char *name;
  uint32_t bus_type;
  DWORD protocol_command_error;  // the driver's answer to STORAGE_PROTOCOL_COMMAND
  bool foreign_miniport_rc;      // its port answers foreign signatures with ReturnCode 1
  const char *own_key;           // adapter key with the driver's contents, or null
};

constexpr PlaceholderTraits kTraits[] = {
    {"intel_rst", kBusRaid, ERROR_NOT_SUPPORTED, true, "csmi"},
    {"sas", kBusSas, ERROR_INVALID_FUNCTION, true, "csmi"},
};

class PlaceholderDriver : public StorageDriver {
 public:
  explicit PlaceholderDriver(const PlaceholderTraits &t) : t_(t) {}
  const char *name() const override { return t_.name; }
  uint32_t bus_type() const override { return t_.bus_type; }
  bool foreign_miniport_rc_default() const override { return t_.foreign_miniport_rc; }
  BOOL protocol_command(StorageRequest &r) override { return r.fail(t_.protocol_command_error); }

  std::vector<std::string> own_keys() const override {
    if (t_.own_key) return {t_.own_key};
    return {};
  }
  // Contents come with the adapter's description; a knobs-only reconfiguration keeps them.
  void configure(DriverConfig &config) override {
    if (!t_.own_key || !config.drives()) return;
    const std::string key = t_.own_key;
    const nlohmann::json *j = config.section(key);
    const std::string w = config.where() + "." + key;
    csmi = nullptr;
    rste = nullptr;
    nevox = nullptr;
    if (!j) return;
    if (key == "csmi") csmi = std::make_shared<const CsmiContents>(load_csmi(*j, w, *config.drives()));
    if (key == "rste") rste = std::make_shared<const RsteContents>(load_rste(*j, w, *config.drives()));
    if (key == "nevox") nevox = std::make_shared<const NevoxContents>(load_nevox(*j, w, *config.drives()));
  }

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

  // What the description gave (null when nothing, or not this personality's key).
  std::shared_ptr<const CsmiContents> csmi;
  std::shared_ptr<const RsteContents> rste;
  std::shared_ptr<const NevoxContents> nevox;

 private:
  PlaceholderTraits t_;
};

const PlaceholderDriver *placeholder_at(uint32_t port) {
  const auto adapter = storage_adapter_at(port);
  return adapter ? dynamic_cast<const PlaceholderDriver *>(adapter->driver.get()) : nullptr;
}

}  // namespace

std::shared_ptr<const CsmiContents> storage_csmi(uint32_t port) {
  const PlaceholderDriver *d = placeholder_at(port);
  return d ? d->csmi : nullptr;
}

std::shared_ptr<StorageDriver> make_placeholder_driver(const std::string &personality) {
  for (const PlaceholderTraits &t : kTraits)
    if (personality == t.name) return std::make_shared<PlaceholderDriver>(t);
  return nullptr;
}

}  // namespace sim
