// CSMI requests of the RAID and HBA ports (storage_csmi.cpp) and the SAS HBA personality
// (storage_sas.cpp).
#pragma once
#ifndef _WIN32

#include "sim/storage/contents.h"
#include "sim/storage/driver.h"

namespace sim {

// A miniport request on a port with CSMI contents: the CSMI signatures are answered from the
// port's contents (storage_csmi); on a LU handle they fail with ERROR_INVALID_FUNCTION; any other
// signature is rejected in the port's foreign-signature style.
BOOL rst_csmi_miniport(StorageRequest &r, const MiniportHeader &h);

// The SAS HBA personality ("sas") and the CSMI contents it keeps (null for other drivers).
std::shared_ptr<StorageDriver> make_sas_driver();
std::shared_ptr<const CsmiContents> sas_csmi_contents(const StorageDriver *driver);

}  // namespace sim

#endif  // _WIN32
