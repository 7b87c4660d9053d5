// The Intel RST personality ("intel_rst") and the pieces of it that live in other files.
//
// The port (\\.\ScsiN:) answers the Intel requests "IntelNvm" (NVMe pass-through) and "IntelFw "
// (firmware information, download, activation) for the drive at the request's PathId, TargetId
// and Lun, and hands the CSMI signatures to rst_csmi_miniport; on LU handles every miniport
// signature fails with ERROR_INVALID_FUNCTION. ATA pass-through reaches SATA LUs only.
#pragma once
#ifndef _WIN32

#include <memory>

#include "sim/storage/contents.h"
#include "sim/storage/driver.h"

namespace sim {

// CSMI requests ("CSMIALL", "CSMISAS", "CSMIARY") on an RST or SAS port.
BOOL rst_csmi_miniport(StorageRequest &r, const MiniportHeader &h);

// The CSMI contents of the RST adapter at that port; null when it is no RST adapter or has none.
std::shared_ptr<const CsmiContents> intel_rst_csmi(uint32_t port);

std::shared_ptr<StorageDriver> make_intel_rst_driver();

}  // namespace sim

#endif  // _WIN32
