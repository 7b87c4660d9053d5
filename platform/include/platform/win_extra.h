// Declarations that MinGW-w64's headers lack; used by both targets.
// Grows with the storage requests of the back ends.
#pragma once

// ---- SCSI address (ntddscsi.h on Windows; the stand-in declares it here) ----------------------
#ifndef _WIN32
#ifndef ORBU_SCSI_ADDRESS_DECLARED
#define ORBU_SCSI_ADDRESS_DECLARED
typedef struct _SCSI_ADDRESS {
  ULONG Length;
  UCHAR PortNumber;
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
} SCSI_ADDRESS, *PSCSI_ADDRESS;
#endif
#endif
