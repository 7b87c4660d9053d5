// SAS HBA with CSMI: SAS LUs are full SCSI targets, SATA LUs answer through the HBA's SCSI/ATA
// translation (ATA PASS-THROUGH and INQUIRY), the enclosure answers SES; the port answers CSMI for
// its phys (storage_csmi.cpp) and returns ReturnCode 1 for every other miniport signature. There
// is no ATA pass-through and no NVMe request.
#include <nlohmann/json.hpp>

#include "sim/storage/contents.h"
#include "sim/storage/helpers.h"
#include "storage_csmi.h"

namespace sim {
namespace {

class SasDriver : public StorageDriver {
 public:
  const char *name() const override { return "sas"; }
  uint32_t bus_type() const override { return kBusSas; }
  bool foreign_miniport_rc_default() const override { return true; }
  std::vector<std::string> own_keys() const override { return {"csmi"}; }

  // The contents come with the adapter's description; a knobs-only reconfiguration keeps them.
  void configure(DriverConfig &config) override {
    if (!config.drives()) return;
    csmi_ = nullptr;
    if (const nlohmann::json *j = config.section("csmi"))
      csmi_ = std::make_shared<const CsmiContents>(load_csmi(*j, config.where() + ".csmi", *config.drives()));
  }

  BOOL miniport(StorageRequest &r, const MiniportHeader &h) override { return rst_csmi_miniport(r, h); }

  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    if (lu.scsi) return lu.scsi->execute(cdb, cdb_len, data, data_len, ddir);
    if (lu.sat) {
      switch (cdb[0]) {
        case 0x85:  // ATA PASS-THROUGH(16)
        case 0xA1:  // ATA PASS-THROUGH(12)
        case 0x12: {  // INQUIRY
          sat_command_faults(r, cdb, cdb_len);
          ScsiResult res = lu.sat->execute(cdb, cdb_len, data, data_len, ddir);
          if (!res.contract_violation.empty()) contract_violation(res.contract_violation);
          return res;
        }
        default:
          return scsi_invalid_opcode();
      }
    }
    return inquiry_from_descriptor(lu, cdb, cdb_len, data, data_len, ddir);
  }

  std::shared_ptr<const CsmiContents> csmi_;
};

}  // namespace

std::shared_ptr<StorageDriver> make_sas_driver() { return std::make_shared<SasDriver>(); }

std::shared_ptr<const CsmiContents> sas_csmi_contents(const StorageDriver *driver) {
  const auto *sas = dynamic_cast<const SasDriver *>(driver);
  return sas ? sas->csmi_ : nullptr;
}

}  // namespace sim
