// ATA back end: ATA pass-through, the firmware roads, and CSMI STP pass-through.
#pragma once

#include "huld/huld_ata.h"
#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// Runs the command on conn.handle by its route: DOWNLOAD MICROCODE 0Eh/0Fh through the Intel RST
// firmware requests (INTEL_RST) or, on Windows 10 and Server 2016, the storage firmware requests
// (in-box AHCI); SANITIZE DEVICE and the security commands through SCSI/ATA translation; the rest
// through IOCTL_ATA_PASS_THROUGH. 0 when the driver call succeeded (device errors stand in the
// registers for the command set to judge), 1 with err set otherwise: code 1 for an invalid command
// or no memory, code 4 for a failed call or a firmware request the driver rejected. The firmware
// roads write no registers.
int huld_ata_windows_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
// IDENTIFY DEVICE through huld_ata_windows_execute: 1 when the registers and data are usable.
int huld_ata_windows_probe(huld_dev *dev);

// Route predicates of huld_ata_windows_execute: 1 or 0.
int should_send_via_intel_rst_firmware_download(huld_dev *dev, huld_ata_cmd *cmd);
int should_send_via_intel_rst_firmware_activate(huld_dev *dev, huld_ata_cmd *cmd);
int should_send_via_storage_hw_firmware_download(huld_dev *dev, huld_ata_cmd *cmd);
int should_send_via_storage_hw_firmware_activate(huld_dev *dev, huld_ata_cmd *cmd);
int should_send_via_sat(huld_dev *dev, huld_ata_cmd *cmd);

// The routes themselves (0, or 1 with err set). Both firmware roads download into, and activate,
// the slot that is active before the download.
int execute_intel_rst_firmware_download(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int execute_intel_rst_firmware_activate(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int execute_storage_hw_firmware_download(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int execute_storage_hw_firmware_activate(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int execute_ata_passthrough_ex(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);

// CSMI STP pass-through to the record's end device on its port's handle (csmi_* fields). 0, or 1
// with err set: code 1 for an invalid command or no memory, code 4 for a failed call (subcode the
// system error) or a non-zero ReturnCode (subcode the ReturnCode).
int execute_stp_passthru(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
int huld_ata_windows_csmi_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *cmd);
// IDENTIFY DEVICE through execute_stp_passthru: 1 when it succeeds.
int huld_ata_windows_probe_csmi(huld_dev *dev);
