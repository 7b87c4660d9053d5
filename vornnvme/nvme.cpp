// NVMe builders and executors.
#define HULD_MODULE "vornnvme\\nvme"

#include "vornnvme/nvme.h"

#include <cstring>

#include "vornnvme/errors.h"

const uint32_t vornnvme_default_timeout_ms = 30000;

namespace {

// Field `value` masked to `width` bits, shifted into place, in 32-bit arithmetic.
constexpr uint32_t field(uint32_t value, uint32_t shift, uint32_t width) {
  uint32_t mask = width >= 32 ? 0xFFFFFFFFu : ((1u << width) - 1);
  return (value & mask) << shift;
}

constexpr uint32_t kOpFlush = 0x00;
constexpr uint32_t kOpWrite = 0x01;
constexpr uint32_t kOpRead = 0x02;
constexpr uint32_t kOpGetLogPage = 0x02;
constexpr uint32_t kOpIdentify = 0x06;
constexpr uint32_t kOpDatasetManagement = 0x09;
constexpr uint32_t kOpSetFeatures = 0x09;
constexpr uint32_t kOpGetFeatures = 0x0A;
constexpr uint32_t kOpNamespaceManagement = 0x0D;
constexpr uint32_t kOpFirmwareCommit = 0x10;
constexpr uint32_t kOpFirmwareImageDownload = 0x11;
constexpr uint32_t kOpDeviceSelfTest = 0x14;
constexpr uint32_t kOpNamespaceAttachment = 0x15;
constexpr uint32_t kOpFormat = 0x80;
constexpr uint32_t kOpSecuritySend = 0x81;
constexpr uint32_t kOpSecurityReceive = 0x82;
constexpr uint32_t kOpSanitize = 0x84;

// Zeroes the record and sets what every command has.
void start(huld_nvme_cmd *cmd, uint32_t opcode, uint32_t queue, void *buffer, uint32_t length,
           uint32_t ddir) {
  memset(cmd, 0, sizeof(*cmd));
  cmd->cdw0 = opcode & 0xFF;
  cmd->data = buffer;
  cmd->data_len = length;
  cmd->ddir = ddir;
  cmd->timeout_ms = vornnvme_default_timeout_ms;
  cmd->queue = queue;
}

int run(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd) {
  if (huld_nvme_execute(err, dev, cmd)) return 1;
  return vornnvme_check_error(err, cmd);
}

// A length field that asks the controller to move more bytes than the buffer holds: refused
// before anything is sent (the controller would read or write past it).
int check_within(huld_error *err, const char *function, const char *field, uint64_t bytes,
                 uint32_t length) {
  if (bytes <= length) return 0;
  return huld_error_set(err, HULD_ERROR_FAILURE, 0, HULD_MODULE, function, __LINE__,
                        "%s asks for %llu bytes, the buffer holds %u", field,
                        static_cast<unsigned long long>(bytes), length);
}

// NUMD counts dwords from 0.
uint64_t numd_bytes(uint32_t numd) { return (static_cast<uint64_t>(numd) + 1) * 4; }

// Entry and exit trace lines of the traced executors.
struct trace {
  explicit trace(const char *name) : name_(name) {
    if (huld_log_trace) huld_log_printf("%s - enter\n", name_);
  }
  ~trace() {
    if (huld_log_trace) huld_log_printf("%s - exit\n", name_);
  }
  const char *name_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Builders
// ---------------------------------------------------------------------------------------------

void vornnvme_fill_dataset_management(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t nr,
                                      uint32_t attributes, void *buffer, uint32_t length) {
  start(cmd, kOpDatasetManagement, HULD_NVME_QUEUE_IO, buffer, length, HULD_DDIR_TO_DEVICE);
  cmd->nsid = nsid;
  cmd->cdw10 = field(nr, 0, 8);
  cmd->cdw11 = attributes;
}

void vornnvme_fill_device_self_test(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t stc) {
  start(cmd, kOpDeviceSelfTest, HULD_NVME_QUEUE_ADMIN, nullptr, 0, HULD_DDIR_NONE);
  cmd->nsid = nsid;
  cmd->cdw10 = field(stc, 0, 4);
}

void vornnvme_fill_firmware_commit(huld_nvme_cmd *cmd, uint8_t bpid, uint8_t ca, uint8_t fs) {
  start(cmd, kOpFirmwareCommit, HULD_NVME_QUEUE_ADMIN, nullptr, 0, HULD_DDIR_NONE);
  cmd->cdw10 = field(bpid, 31, 1) | field(ca, 3, 3) | field(fs, 0, 3);
}

void vornnvme_fill_firmware_image_download(huld_nvme_cmd *cmd, uint32_t numd, uint32_t ofst,
                                           void *buffer, uint32_t length) {
  start(cmd, kOpFirmwareImageDownload, HULD_NVME_QUEUE_ADMIN, buffer, length, HULD_DDIR_TO_DEVICE);
  cmd->cdw10 = numd;
  cmd->cdw11 = ofst;
}

void vornnvme_fill_flush(huld_nvme_cmd *cmd) {
  start(cmd, kOpFlush, HULD_NVME_QUEUE_IO, nullptr, 0, HULD_DDIR_NONE);
  cmd->nsid = 0xFFFFFFFFu;
}

void vornnvme_fill_format(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t ses, uint8_t pil, uint8_t pi,
                          uint8_t mset, uint8_t lbaf) {
  start(cmd, kOpFormat, HULD_NVME_QUEUE_ADMIN, nullptr, 0, HULD_DDIR_NONE);
  cmd->nsid = nsid;
  cmd->cdw10 = field(lbaf, 0, 4) | field(mset, 4, 1) | field(pi, 5, 3) | field(pil, 8, 1) |
               field(ses, 9, 3) | field(static_cast<uint32_t>(lbaf) >> 4, 12, 2);
}

void vornnvme_fill_get_features(huld_nvme_cmd *cmd, uint8_t fid, uint32_t nsid, uint8_t sel,
                                uint32_t cdw11, uint8_t uuid_index, void *buffer,
                                uint32_t length) {
  start(cmd, kOpGetFeatures, HULD_NVME_QUEUE_ADMIN, buffer, length,
        buffer != nullptr ? HULD_DDIR_FROM_DEVICE : HULD_DDIR_NONE);
  cmd->nsid = nsid;
  cmd->cdw10 = field(sel, 8, 3) | field(fid, 0, 8);
  cmd->cdw11 = cdw11;
  cmd->cdw14 = field(uuid_index, 0, 7);
}

void vornnvme_fill_get_log_page(huld_nvme_cmd *cmd, uint32_t nsid, uint32_t numd, uint8_t rae,
                                uint8_t lsp, uint8_t lid, uint16_t lsi, uint64_t lpo, uint8_t csi,
                                uint8_t ot, uint8_t uuid_index, void *buffer, uint32_t length) {
  start(cmd, kOpGetLogPage, HULD_NVME_QUEUE_ADMIN, buffer, length, HULD_DDIR_FROM_DEVICE);
  cmd->nsid = nsid;
  cmd->cdw10 = field(numd, 16, 16) | field(rae, 15, 1) | field(lsp, 8, 7) | field(lid, 0, 8);
  cmd->cdw11 = field(lsi, 16, 16) | field(numd >> 16, 0, 16);
  cmd->cdw12 = static_cast<uint32_t>(lpo & 0xFFFFFFFFu);
  cmd->cdw13 = static_cast<uint32_t>(lpo >> 32);
  cmd->cdw14 = field(csi, 24, 8) | field(ot, 23, 1) | field(uuid_index, 0, 7);
}

void vornnvme_fill_identify(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t cns, uint16_t cntid,
                            uint8_t csi, uint16_t cns_specific_id, uint8_t uuid_index,
                            void *buffer, uint32_t length) {
  start(cmd, kOpIdentify, HULD_NVME_QUEUE_ADMIN, buffer, length, HULD_DDIR_FROM_DEVICE);
  cmd->nsid = nsid;
  cmd->cdw10 = field(cntid, 16, 16) | field(cns, 0, 8);
  cmd->cdw11 = field(csi, 24, 8) | field(cns_specific_id, 0, 16);
  cmd->cdw14 = field(uuid_index, 0, 7);
}

void vornnvme_fill_namespace_attachment(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t sel,
                                        void *buffer, uint32_t length) {
  start(cmd, kOpNamespaceAttachment, HULD_NVME_QUEUE_ADMIN, buffer, length, HULD_DDIR_TO_DEVICE);
  cmd->nsid = nsid;
  cmd->cdw10 = field(sel, 0, 4);
}

void vornnvme_fill_namespace_management(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t sel,
                                        uint8_t csi, void *buffer, uint32_t length) {
  start(cmd, kOpNamespaceManagement, HULD_NVME_QUEUE_ADMIN, buffer, length, HULD_DDIR_TO_DEVICE);
  cmd->cdw10 = field(sel, 0, 4);
  cmd->nsid = (cmd->cdw10 == 1) ? nsid : 0;  // only a delete addresses a namespace
  cmd->cdw11 = field(csi, 24, 8);
}

void vornnvme_fill_read(huld_nvme_cmd *cmd, uint32_t nsid, uint64_t slba, uint16_t nlb,
                        void *buffer, uint32_t length) {
  start(cmd, kOpRead, HULD_NVME_QUEUE_IO, buffer, length, HULD_DDIR_FROM_DEVICE);
  cmd->nsid = nsid;
  cmd->cdw10 = static_cast<uint32_t>(slba & 0xFFFFFFFFu);
  cmd->cdw11 = static_cast<uint32_t>(slba >> 32);
  cmd->cdw12 = nlb;
}

void vornnvme_fill_sanitize(huld_nvme_cmd *cmd, uint8_t nodas, uint8_t oipbp, uint8_t owpass,
                            uint8_t ause, uint8_t sanact, uint32_t ovrpat) {
  start(cmd, kOpSanitize, HULD_NVME_QUEUE_ADMIN, nullptr, 0, HULD_DDIR_NONE);
  cmd->cdw10 = field(nodas, 9, 1) | field(oipbp, 8, 1) | field(owpass, 4, 4) | field(ause, 3, 1) |
               field(sanact, 0, 3);
  cmd->cdw11 = ovrpat;
}

void vornnvme_fill_security_receive(huld_nvme_cmd *cmd, uint8_t secp, uint16_t spsp, uint8_t nssf,
                                    uint32_t al, void *buffer, uint32_t length) {
  start(cmd, kOpSecurityReceive, HULD_NVME_QUEUE_ADMIN, buffer, length, HULD_DDIR_FROM_DEVICE);
  cmd->nsid = 1;
  cmd->cdw10 = field(secp, 24, 8) | field(spsp, 8, 16) | field(nssf, 0, 8);
  cmd->cdw11 = al;
}

void vornnvme_fill_security_send(huld_nvme_cmd *cmd, uint8_t secp, uint16_t spsp, uint8_t nssf,
                                 uint32_t tl, void *buffer, uint32_t length) {
  start(cmd, kOpSecuritySend, HULD_NVME_QUEUE_ADMIN, buffer, length, HULD_DDIR_TO_DEVICE);
  cmd->nsid = 1;
  cmd->cdw10 = field(secp, 24, 8) | field(spsp, 8, 16) | field(nssf, 0, 8);
  cmd->cdw11 = tl;
}

void vornnvme_fill_set_features(huld_nvme_cmd *cmd, uint8_t sv, uint8_t fid, uint32_t nsid,
                                uint32_t cdw11, uint8_t uuid_index, void *buffer,
                                uint32_t length) {
  start(cmd, kOpSetFeatures, HULD_NVME_QUEUE_ADMIN, buffer, length,
        buffer != nullptr ? HULD_DDIR_TO_DEVICE : HULD_DDIR_NONE);
  cmd->nsid = nsid;
  cmd->cdw10 = field(sv, 31, 1) | field(fid, 0, 8);
  cmd->cdw11 = cdw11;
  cmd->cdw14 = field(uuid_index, 0, 7);
}

void vornnvme_fill_write(huld_nvme_cmd *cmd, uint32_t nsid, uint64_t slba, uint16_t nlb,
                         void *buffer, uint32_t length) {
  vornnvme_fill_read(cmd, nsid, slba, nlb, buffer, length);
  cmd->cdw0 = kOpWrite;
  cmd->ddir = HULD_DDIR_TO_DEVICE;
}

// ---------------------------------------------------------------------------------------------
// Executors
// ---------------------------------------------------------------------------------------------

int vornnvme_execute_dataset_management(huld_error *err, huld_dev *dev, uint32_t nsid, uint8_t nr,
                                        uint32_t attributes, void *buffer, uint32_t length) {
  trace t(__func__);
  huld_nvme_cmd cmd;
  vornnvme_fill_dataset_management(&cmd, nsid, nr, attributes, buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_device_self_test(huld_error *err, huld_dev *dev, uint32_t nsid, uint8_t stc) {
  huld_nvme_cmd cmd;
  vornnvme_fill_device_self_test(&cmd, nsid, stc);
  return run(err, dev, &cmd);
}

int vornnvme_execute_firmware_commit(huld_error *err, huld_dev *dev, uint8_t bpid, uint8_t ca,
                                     uint8_t fs) {
  huld_nvme_cmd cmd;
  vornnvme_fill_firmware_commit(&cmd, bpid, ca, fs);
  return run(err, dev, &cmd);
}

int vornnvme_execute_firmware_image_download(huld_error *err, huld_dev *dev, uint32_t numd,
                                             uint32_t ofst, void *buffer, uint32_t length) {
  if (check_within(err, __func__, "NUMD", numd_bytes(numd), length)) return 1;
  huld_nvme_cmd cmd;
  vornnvme_fill_firmware_image_download(&cmd, numd, ofst, buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_flush(huld_error *err, huld_dev *dev) {
  trace t(__func__);
  huld_nvme_cmd cmd;
  vornnvme_fill_flush(&cmd);
  return run(err, dev, &cmd);
}

int vornnvme_execute_format(huld_error *err, huld_dev *dev, uint32_t nsid, uint8_t ses,
                            uint8_t pil, uint8_t pi, uint8_t mset, uint8_t lbaf) {
  trace t(__func__);
  huld_nvme_cmd cmd;
  vornnvme_fill_format(&cmd, nsid, ses, pil, pi, mset, lbaf);
  return run(err, dev, &cmd);
}

int vornnvme_execute_get_features(huld_error *err, huld_dev *dev, uint8_t fid, uint32_t nsid,
                                  uint8_t sel, uint32_t cdw11, uint8_t uuid_index, void *buffer,
                                  uint32_t length, uint32_t *result) {
  huld_nvme_cmd cmd;
  vornnvme_fill_get_features(&cmd, fid, nsid, sel, cdw11, uuid_index, buffer, length);
  if (run(err, dev, &cmd)) return 1;
  if (result != nullptr) *result = cmd.cpl[0];
  return 0;
}

int vornnvme_execute_get_log_page(huld_error *err, huld_dev *dev, uint32_t nsid, uint32_t numd,
                                  uint8_t rae, uint8_t lsp, uint8_t lid, uint16_t lsi,
                                  uint64_t lpo, uint8_t csi, uint8_t ot, uint8_t uuid_index,
                                  void *buffer, uint32_t length) {
  if (check_within(err, __func__, "NUMD", numd_bytes(numd), length)) return 1;
  huld_nvme_cmd cmd;
  vornnvme_fill_get_log_page(&cmd, nsid, numd, rae, lsp, lid, lsi, lpo, csi, ot, uuid_index,
                             buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_identify(huld_error *err, huld_dev *dev, uint32_t nsid, uint8_t cns,
                              uint16_t cntid, uint8_t csi, uint16_t cns_specific_id,
                              uint8_t uuid_index, void *buffer, uint32_t length) {
  trace t(__func__);
  huld_nvme_cmd cmd;
  vornnvme_fill_identify(&cmd, nsid, cns, cntid, csi, cns_specific_id, uuid_index, buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_identify_controller(huld_error *err, huld_dev *dev, void *buffer,
                                         uint32_t length) {
  trace t(__func__);
  return vornnvme_execute_identify(err, dev, 0, 0x01, 0, 0, 0, 0, buffer, length);
}

int vornnvme_execute_identify_namespace(huld_error *err, huld_dev *dev, uint32_t nsid,
                                        void *buffer, uint32_t length) {
  trace t(__func__);
  return vornnvme_execute_identify(err, dev, nsid, 0x00, 0, 0, 0, 0, buffer, length);
}

int vornnvme_execute_namespace_attachment(huld_error *err, huld_dev *dev, uint32_t nsid,
                                          uint8_t sel, void *buffer, uint32_t length) {
  trace t(__func__);
  huld_nvme_cmd cmd;
  vornnvme_fill_namespace_attachment(&cmd, nsid, sel, buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_namespace_management(huld_error *err, huld_dev *dev, uint32_t nsid,
                                          uint8_t sel, uint8_t csi, void *buffer,
                                          uint32_t length) {
  trace t(__func__);
  huld_nvme_cmd cmd;
  vornnvme_fill_namespace_management(&cmd, nsid, sel, csi, buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_read(huld_error *err, huld_dev *dev, uint32_t nsid, uint64_t slba,
                          uint16_t nlb, void *buffer, uint32_t length) {
  trace t(__func__);
  huld_nvme_cmd cmd;
  vornnvme_fill_read(&cmd, nsid, slba, nlb, buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_sanitize(huld_error *err, huld_dev *dev, uint8_t nodas, uint8_t oipbp,
                              uint8_t owpass, uint8_t ause, uint8_t sanact, uint32_t ovrpat) {
  huld_nvme_cmd cmd;
  vornnvme_fill_sanitize(&cmd, nodas, oipbp, owpass, ause, sanact, ovrpat);
  return run(err, dev, &cmd);
}

int vornnvme_execute_security_receive(huld_error *err, huld_dev *dev, uint8_t secp, uint16_t spsp,
                                      uint8_t nssf, uint32_t al, void *buffer, uint32_t length) {
  if (check_within(err, __func__, "allocation length", al, length)) return 1;
  huld_nvme_cmd cmd;
  vornnvme_fill_security_receive(&cmd, secp, spsp, nssf, al, buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_security_send(huld_error *err, huld_dev *dev, uint8_t secp, uint16_t spsp,
                                   uint8_t nssf, uint32_t tl, void *buffer, uint32_t length) {
  if (check_within(err, __func__, "transfer length", tl, length)) return 1;
  huld_nvme_cmd cmd;
  vornnvme_fill_security_send(&cmd, secp, spsp, nssf, tl, buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_set_features(huld_error *err, huld_dev *dev, uint8_t sv, uint8_t fid,
                                  uint32_t nsid, uint32_t cdw11, uint8_t uuid_index, void *buffer,
                                  uint32_t length) {
  huld_nvme_cmd cmd;
  vornnvme_fill_set_features(&cmd, sv, fid, nsid, cdw11, uuid_index, buffer, length);
  return run(err, dev, &cmd);
}

int vornnvme_execute_write(huld_error *err, huld_dev *dev, uint32_t nsid, uint64_t slba,
                           uint16_t nlb, void *buffer, uint32_t length) {
  trace t(__func__);
  huld_nvme_cmd cmd;
  vornnvme_fill_write(&cmd, nsid, slba, nlb, buffer, length);
  return run(err, dev, &cmd);
}
