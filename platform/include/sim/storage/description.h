// Reading the "storage" section of a machine description: field checks and the drive models'
// own objects. Every error is a std::runtime_error "storage.<where>: <what>".
#pragma once
#ifndef _WIN32

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/drives/ata_drive.h"
#include "sim/drives/nvme_controller.h"
#include "sim/drives/sat_device.h"
#include "sim/drives/scsi_target.h"

namespace sim::storage_desc {

using json = nlohmann::json;

[[noreturn]] void bad(const std::string &where, const std::string &what);
// `j` must be an object whose fields are all in `allowed`.
void check_fields(const json &j, const std::string &where, const std::vector<std::string> &allowed);
// A JSON number or a string in C notation ("0x20"), at most `max`.
uint64_t number(const json &j, const std::string &where, uint64_t max);
bool flag(const json &j, const std::string &where);
std::string text(const json &j, const std::string &where);

NvmeConfig load_nvme(const json &j, const std::string &where);
void load_ata(const json &j, const std::string &where, AtaConfig &config, SatConfig &sat);
ScsiConfig load_scsi(const json &j, const std::string &where);
// The vendor-unique responder of an ATA drive or SCSI target ("vu"), into `config`; `where` is the
// whole place for messages. With faults_only only the fault fields are allowed (the "faults"
// section alters a responder the "storage" section made).
void load_vu(const json &j, const std::string &where, VuConfig &config, bool faults_only);

}  // namespace sim::storage_desc

#endif  // _WIN32
