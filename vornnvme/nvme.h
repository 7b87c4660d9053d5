// The NVMe command set: one builder (vornnvme_fill_*) and one executor (vornnvme_execute_*) per
// command. A builder zeroes the record and fills it; it cannot fail. An executor builds the
// record on its own stack, runs it through huld_nvme_execute and judges the completion with
// vornnvme_check_error; it returns 0, or 1 with the error record filled.
//
// Every command dword is built in 32 bits with each field masked to its width.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"

// Default time-out of every NVMe builder, in milliseconds.
extern const uint32_t vornnvme_default_timeout_ms;

// ----- builders -----
void vornnvme_fill_dataset_management(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t nr,
                                      uint32_t attributes, void *buffer, uint32_t length);
void vornnvme_fill_device_self_test(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t stc);
void vornnvme_fill_firmware_commit(huld_nvme_cmd *cmd, uint8_t bpid, uint8_t ca, uint8_t fs);
void vornnvme_fill_firmware_image_download(huld_nvme_cmd *cmd, uint32_t numd, uint32_t ofst,
                                           void *buffer, uint32_t length);
void vornnvme_fill_flush(huld_nvme_cmd *cmd);
void vornnvme_fill_format(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t ses, uint8_t pil, uint8_t pi,
                          uint8_t mset, uint8_t lbaf);
void vornnvme_fill_get_features(huld_nvme_cmd *cmd, uint8_t fid, uint32_t nsid, uint8_t sel,
                                uint32_t cdw11, uint8_t uuid_index, void *buffer, uint32_t length);
void vornnvme_fill_get_log_page(huld_nvme_cmd *cmd, uint32_t nsid, uint32_t numd, uint8_t rae,
                                uint8_t lsp, uint8_t lid, uint16_t lsi, uint64_t lpo, uint8_t csi,
                                uint8_t ot, uint8_t uuid_index, void *buffer, uint32_t length);
void vornnvme_fill_identify(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t cns, uint16_t cntid,
                            uint8_t csi, uint16_t cns_specific_id, uint8_t uuid_index,
                            void *buffer, uint32_t length);
void vornnvme_fill_namespace_attachment(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t sel,
                                        void *buffer, uint32_t length);
void vornnvme_fill_namespace_management(huld_nvme_cmd *cmd, uint32_t nsid, uint8_t sel,
                                        uint8_t csi, void *buffer, uint32_t length);
void vornnvme_fill_read(huld_nvme_cmd *cmd, uint32_t nsid, uint64_t slba, uint16_t nlb,
                        void *buffer, uint32_t length);
void vornnvme_fill_sanitize(huld_nvme_cmd *cmd, uint8_t nodas, uint8_t oipbp, uint8_t owpass,
                            uint8_t ause, uint8_t sanact, uint32_t ovrpat);
void vornnvme_fill_security_receive(huld_nvme_cmd *cmd, uint8_t secp, uint16_t spsp, uint8_t nssf,
                                    uint32_t al, void *buffer, uint32_t length);
void vornnvme_fill_security_send(huld_nvme_cmd *cmd, uint8_t secp, uint16_t spsp, uint8_t nssf,
                                 uint32_t tl, void *buffer, uint32_t length);
void vornnvme_fill_set_features(huld_nvme_cmd *cmd, uint8_t sv, uint8_t fid, uint32_t nsid,
                                uint32_t cdw11, uint8_t uuid_index, void *buffer, uint32_t length);
void vornnvme_fill_write(huld_nvme_cmd *cmd, uint32_t nsid, uint64_t slba, uint16_t nlb,
                         void *buffer, uint32_t length);

// ----- executors -----
int vornnvme_execute_dataset_management(huld_error *err, huld_dev *dev, uint32_t nsid, uint8_t nr,
                                        uint32_t attributes, void *buffer, uint32_t length);
int vornnvme_execute_device_self_test(huld_error *err, huld_dev *dev, uint32_t nsid, uint8_t stc);
int vornnvme_execute_firmware_commit(huld_error *err, huld_dev *dev, uint8_t bpid, uint8_t ca,
                                     uint8_t fs);
int vornnvme_execute_firmware_image_download(huld_error *err, huld_dev *dev, uint32_t numd,
                                             uint32_t ofst, void *buffer, uint32_t length);
int vornnvme_execute_flush(huld_error *err, huld_dev *dev);
int vornnvme_execute_format(huld_error *err, huld_dev *dev, uint32_t nsid, uint8_t ses,
                            uint8_t pil, uint8_t pi, uint8_t mset, uint8_t lbaf);
// On success *result (when not null) receives completion dword 0.
int vornnvme_execute_get_features(huld_error *err, huld_dev *dev, uint8_t fid, uint32_t nsid,
                                  uint8_t sel, uint32_t cdw11, uint8_t uuid_index, void *buffer,
                                  uint32_t length, uint32_t *result);
int vornnvme_execute_get_log_page(huld_error *err, huld_dev *dev, uint32_t nsid, uint32_t numd,
                                  uint8_t rae, uint8_t lsp, uint8_t lid, uint16_t lsi,
                                  uint64_t lpo, uint8_t csi, uint8_t ot, uint8_t uuid_index,
                                  void *buffer, uint32_t length);
int vornnvme_execute_identify(huld_error *err, huld_dev *dev, uint32_t nsid, uint8_t cns,
                              uint16_t cntid, uint8_t csi, uint16_t cns_specific_id,
                              uint8_t uuid_index, void *buffer, uint32_t length);
int vornnvme_execute_identify_controller(huld_error *err, huld_dev *dev, void *buffer,
                                         uint32_t length);
int vornnvme_execute_identify_namespace(huld_error *err, huld_dev *dev, uint32_t nsid,
                                        void *buffer, uint32_t length);
int vornnvme_execute_namespace_attachment(huld_error *err, huld_dev *dev, uint32_t nsid,
                                          uint8_t sel, void *buffer, uint32_t length);
int vornnvme_execute_namespace_management(huld_error *err, huld_dev *dev, uint32_t nsid,
                                          uint8_t sel, uint8_t csi, void *buffer,
                                          uint32_t length);
int vornnvme_execute_read(huld_error *err, huld_dev *dev, uint32_t nsid, uint64_t slba,
                          uint16_t nlb, void *buffer, uint32_t length);
int vornnvme_execute_sanitize(huld_error *err, huld_dev *dev, uint8_t nodas, uint8_t oipbp,
                              uint8_t owpass, uint8_t ause, uint8_t sanact, uint32_t ovrpat);
int vornnvme_execute_security_receive(huld_error *err, huld_dev *dev, uint8_t secp, uint16_t spsp,
                                      uint8_t nssf, uint32_t al, void *buffer, uint32_t length);
int vornnvme_execute_security_send(huld_error *err, huld_dev *dev, uint8_t secp, uint16_t spsp,
                                   uint8_t nssf, uint32_t tl, void *buffer, uint32_t length);
int vornnvme_execute_set_features(huld_error *err, huld_dev *dev, uint8_t sv, uint8_t fid,
                                  uint32_t nsid, uint32_t cdw11, uint8_t uuid_index, void *buffer,
                                  uint32_t length);
int vornnvme_execute_write(huld_error *err, huld_dev *dev, uint32_t nsid, uint64_t slba,
                           uint16_t nlb, void *buffer, uint32_t length);
