// The maker's own NVMe driver: the "NvmeMini" pass-through (ControlCode E0002000h) on the
// adapter's storage-port handle, INQUIRY on its units, the common requests. It takes no in-box
// NVMe requests.
//
// Request (after the 28-byte SRB_IO_CONTROL header): vendor words @28, the submission entry @52
// (DW0 @52, NSID @56, CDW10-15 @92-@112), CplEntry @116, Direction @132 (0 none, 1 to the device,
// 2 from it), QueueId @136 (0 admin, FFFFFFFFh NVM), DataBufferLen @140 (the to-device bytes),
// MetaDataLen @144, ReturnBufferLen @148 (the whole request), data @152. The answer: completion DW0
// over the command's DW0 @52, the whole completion @116, read data @152, ReturnCode 0 or, when
// the NVMe command failed, 1.
// Fault rules see the pass-through as request "pass_through" with its "nvme_opcode"; the action
// "return_code" sets the ReturnCode.
#include <algorithm>
#include <cstring>

#include "sim/storage/helpers.h"
#include "storage_nvme_run.h"

namespace sim {
namespace {

constexpr uint32_t kPassThroughCode = 0xE0002000;
constexpr uint32_t kHead = 152;

class MakerNvmeDriver : public StorageDriver {
 public:
  const char *name() const override { return "maker_nvme"; }
  uint32_t bus_type() const override { return kBusNvme; }

  BOOL miniport(StorageRequest &r, const MiniportHeader &h) override {
    if (h.signature != "NvmeMini" || !r.on_adapter) return reject_miniport(r);
    return pass_through(r, h);
  }
  ScsiResult execute_scsi(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                          uint32_t data_len, int ddir) override {
    return inquiry_only(r, lu, cdb, cdb_len, data, data_len, ddir);
  }

 private:
  static std::shared_ptr<NvmeController> controller(const StorageAdapter &a) {
    if (a.nvme) return a.nvme;
    for (const auto &lu : a.lus)
      if (lu->nvme) return lu->nvme;
    return nullptr;
  }
  BOOL pass_through(StorageRequest &r, const MiniportHeader &h);
};

BOOL MakerNvmeDriver::pass_through(StorageRequest &r, const MiniportHeader &h) {
  IoctlCall &call = r.call;
  const uint8_t *in = r.in.data();
  const size_t size = r.in.size();
  if (h.control_code != kPassThroughCode)
    return r.violation("\"NvmeMini\" ControlCode " + fault_key(h.control_code), ERROR_INVALID_FUNCTION);
  if (size < kHead) return r.violation("\"NvmeMini\" request of " + std::to_string(size) + " bytes");
  if (h.length != size - 28) return r.violation("\"NvmeMini\" Length " + std::to_string(h.length));
  if (call.out_size < size) return r.violation("\"NvmeMini\" output smaller than its input");
  const uint32_t direction = wire::u32(in, 132), queue = wire::u32(in, 136);
  const uint32_t to_len = wire::u32(in, 140), meta = wire::u32(in, 144), return_len = wire::u32(in, 148);
  if (direction > 2) return r.violation("\"NvmeMini\" Direction " + std::to_string(direction));
  if (queue != 0 && queue != 0xFFFFFFFFu) return r.violation("\"NvmeMini\" QueueId " + fault_key(queue));
  if (meta != 0) return r.violation("\"NvmeMini\" MetaDataLen " + std::to_string(meta));
  if (return_len != size) return r.violation("\"NvmeMini\" ReturnBufferLen " + std::to_string(return_len));
  if (direction != 1 && to_len != 0)
    return r.violation("\"NvmeMini\" DataBufferLen " + std::to_string(to_len) + " without data to the device");
  if (direction == 1 && to_len > size - kHead)
    return r.violation("\"NvmeMini\" DataBufferLen " + std::to_string(to_len) + " beyond the request");
  if (h.timeout != 0) r.count_violation("\"NvmeMini\" Timeout " + std::to_string(h.timeout));
  auto ctl = controller(r.adapter);
  if (!ctl) return r.fail(ERROR_INVALID_FUNCTION);

  const NvmeCommand cmd = read_submission_entry(in + 52);
  // The read length is what the request holds after its head.
  const uint32_t len = direction == 1 ? to_len : direction == 2 ? static_cast<uint32_t>(size - kHead) : 0;
  r.note_data(len, direction == 1 ? kDirOut : direction == 2 ? kDirIn : kDirNone);
  if (r.frontend_faults("pass_through", {{"nvme_opcode", fault_key(cmd.opcode())}})) return FALSE;
  std::vector<uint8_t> data(len, 0);
  if (direction == 1) std::memcpy(data.data(), in + kHead, len);
  const NvmeCompletion c = run_nvme_for(r, *ctl, cmd, queue == 0, len ? data.data() : nullptr, len);

  uint8_t *out = call.out;
  if (call.out != call.in) std::memcpy(out, in, size);
  wire::put32(out, 52, c.dw0);
  wire::put32(out, 116, c.dw0);
  wire::put32(out, 120, c.dw1);
  wire::put32(out, 124, c.dw2);
  wire::put32(out, 128, c.dw3);
  if (direction == 2) {
    const uint32_t moved = std::min(c.data_transferred, len);
    std::memcpy(out + kHead, data.data(), moved);
    std::memset(out + kHead + moved, 0, len - moved);
  }
  uint32_t rc = c.ok() ? 0 : 1;
  if (const FaultAction *a = r.action("return_code")) rc = static_cast<uint32_t>(a->value);
  wire::put32(out, 20, rc);
  call.bytes_returned = static_cast<DWORD>(size);
  return TRUE;
}

}  // namespace

ScsiResult inquiry_only(StorageRequest &r, StorageLu &lu, const uint8_t *cdb, size_t cdb_len, uint8_t *data,
                        uint32_t data_len, int ddir) {
  if (cdb[0] != 0x12) return scsi_invalid_opcode();
  if (lu.scsi) return lu.scsi->execute(cdb, cdb_len, data, data_len, ddir);
  if (lu.sat) return lu.sat->execute(cdb, cdb_len, data, data_len, ddir);
  if (lu.nvme) {
    NvmeController &ctl = *lu.nvme;
    const NvmeRun run = [&](const NvmeCommand &cmd, bool admin, uint8_t *d, uint32_t n) {
      return run_nvme_for(r, ctl, cmd, admin, d, n);
    };
    return translate_scsi_to_nvme(run, cdb, cdb_len, data, data_len, ddir, false);
  }
  return inquiry_from_descriptor(lu, cdb, cdb_len, data, data_len, ddir);
}

std::shared_ptr<StorageDriver> make_maker_nvme_driver() { return std::make_shared<MakerNvmeDriver>(); }

}  // namespace sim
