// NevoX RAID controller carried by the in-box NVMe road: its virtual disk answers every in-box
// NVMe request as the in-box driver does, and the virtual controller adds the vendor admin
// commands:
//   E2h (CDW10 3FFh) information: CDW12 E0h adapter information (4096 bytes, the maximum
//       physical-disk count as u16 @36); CDW12 E1h, CDW14 = index: physical-disk information
//       (the disk id as u16 @104), or the entry's own NVMe status for a failing entry.
//   C2h (data from the device) / C3h (anything else): a command for the physical disk whose id is
//       in NSID, with its opcode in CDW14 and its namespace in CDW15; it runs on that disk's
//       drive as an admin command and its completion is the wrapper's.
#include <cstring>
#include <nlohmann/json.hpp>

#include "sim/storage/contents.h"
#include "sim/storage/helpers.h"

namespace sim {
namespace {

constexpr uint8_t kOpInformation = 0xE2;
constexpr uint8_t kOpWrappedIn = 0xC2;
constexpr uint8_t kOpWrappedOther = 0xC3;

NvmeCompletion nevox_command(const std::shared_ptr<const NevoxContents> &contents, const NvmeCommand &cmd,
                             bool admin, uint8_t *data, uint32_t data_len) {
  if (!admin || !contents) return nvme_status(kNvmeInvalidOpcode);
  const NevoxContents &c = *contents;
  switch (cmd.opcode()) {
    case kOpInformation: {
      if (cmd.cdw10 != 0x3FF) return nvme_status(kNvmeInvalidField);
      if (!data || data_len < 4096) return nvme_status(kNvmeInvalidField);
      std::memset(data, 0, data_len);
      if (cmd.cdw12 == 0xE0) {
        wire::put16(data, 36, c.max_physical_disks);
      } else if (cmd.cdw12 == 0xE1) {
        if (cmd.cdw14 >= c.physical_disks.size()) return nvme_status(kNvmeInvalidField);
        const NevoxPhysicalDisk &pd = c.physical_disks[cmd.cdw14];
        if (!pd.drive) return nvme_status(pd.nvme_status ? pd.nvme_status : static_cast<uint16_t>(kNvmeInvalidField));
        wire::put16(data, 104, pd.id);
      } else {
        return nvme_status(kNvmeInvalidField);
      }
      NvmeCompletion ok;
      ok.data_transferred = 4096;
      return ok;
    }
    case kOpWrappedIn:
    case kOpWrappedOther: {
      const NevoxPhysicalDisk *pd = c.by_id(cmd.nsid);
      if (!pd || !pd->drive->nvme) return nvme_status(kNvmeInvalidNamespace);
      NvmeCommand inner = cmd;
      inner.cdw0 = cmd.cdw14;
      inner.nsid = cmd.cdw15;
      inner.cdw14 = 0;
      inner.cdw15 = 0;
      return pd->drive->nvme->admin(inner, data, data_len);
    }
    default:
      return nvme_status(kNvmeInvalidOpcode);
  }
}

class NevoxDriver : public StorageDriver {
 public:
  NevoxDriver() : inbox_(make_inbox_nvme_driver()) {}
  const char *name() const override { return "nevox"; }
  uint32_t bus_type() const override { return kBusNvme; }
  std::vector<std::string> own_keys() const override { return {"nevox"}; }

  void configure(DriverConfig &config) override {
    inbox_->configure(config);
    if (!config.drives()) return;  // a knobs-only reconfiguration keeps the contents
    contents = nullptr;
    if (const nlohmann::json *j = config.section("nevox"))
      contents = std::make_shared<const NevoxContents>(load_nevox(*j, config.where() + ".nevox", *config.drives()));
  }
  BOOL query_property(StorageRequest &r, uint32_t property_id) override {
    attach(r);
    return inbox_->query_property(r, property_id);
  }
  BOOL protocol_command(StorageRequest &r) override {
    attach(r);
    return inbox_->protocol_command(r);
  }
  BOOL temperature_threshold(StorageRequest &r) override { return inbox_->temperature_threshold(r); }
  BOOL miniport(StorageRequest &r, const MiniportHeader &h) override {
    attach(r);
    return inbox_->miniport(r, h);
  }
  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    attach(r);
    return inbox_->execute_scsi(r, lu, cdb, cdb_len, data, data_len, ddir);
  }

  std::shared_ptr<const NevoxContents> contents;

 private:
  // The virtual controller of the disk (or adapter) the request reached learns the vendor
  // commands.
  void attach(StorageRequest &r) {
    if (r.lu && r.lu->kind != LuKind::Disk) return;
    const std::shared_ptr<NvmeController> ctl = r.lu ? r.lu->nvme : r.adapter.nvme;
    if (!ctl) return;
    std::lock_guard<std::mutex> g(lock_);
    if (attached_.lock() == ctl) return;
    ctl->set_vendor_handler([c = contents](NvmeController &, const NvmeCommand &cmd, bool admin, uint8_t *data,
                                           uint32_t data_len) { return nevox_command(c, cmd, admin, data, data_len); });
    for (uint8_t op : {kOpInformation, kOpWrappedIn, kOpWrappedOther}) ctl->list_vendor_command(true, op);
    attached_ = ctl;
  }

  std::shared_ptr<StorageDriver> inbox_;
  std::mutex lock_;
  std::weak_ptr<NvmeController> attached_;
};

}  // namespace

std::shared_ptr<StorageDriver> make_nevox_driver() { return std::make_shared<NevoxDriver>(); }

std::shared_ptr<const NevoxContents> storage_nevox(uint32_t port) {
  const auto adapter = storage_adapter_at(port);
  const auto *d = adapter ? dynamic_cast<const NevoxDriver *>(adapter->driver.get()) : nullptr;
  return d ? d->contents : nullptr;
}

}  // namespace sim
