// Linux stand-in: storage request structures, control codes and constants of winioctl.h and
// ntddscsi.h that the system uses. Every layout here is the x64 one; the Windows build compares
// each size, offset and value with the SDK's own (platform/check/layout_items.h).
//
// What MinGW-w64's headers lack altogether is declared for both targets in win_extra.h.
#pragma once
#ifndef _WIN32

#include "platform/win_types.h"

// Base type the storage structures use (a repeated identical typedef is harmless).
typedef int16_t SHORT;

// ---- Control code composition -----------------------------------------------------------------
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DWORD)(DeviceType) << 16) | ((DWORD)(Access) << 14) | ((DWORD)(Function) << 2) | (DWORD)(Method))

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3

#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

#define FILE_DEVICE_CONTROLLER 0x00000004
#define FILE_DEVICE_MASS_STORAGE 0x0000002d

#define IOCTL_SCSI_BASE FILE_DEVICE_CONTROLLER
#define IOCTL_STORAGE_BASE FILE_DEVICE_MASS_STORAGE

// ---- SCSI port requests ---------------------------------------------------------------------------
#define IOCTL_SCSI_PASS_THROUGH \
  CTL_CODE(IOCTL_SCSI_BASE, 0x0401, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_MINIPORT \
  CTL_CODE(IOCTL_SCSI_BASE, 0x0402, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_GET_ADDRESS CTL_CODE(IOCTL_SCSI_BASE, 0x0406, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_ATA_PASS_THROUGH \
  CTL_CODE(IOCTL_SCSI_BASE, 0x040b, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

// SCSI_PASS_THROUGH.DataIn
#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

// SCSI pass-through with the data inside the request buffer (buffered).
typedef struct _SCSI_PASS_THROUGH {
  USHORT Length;              // size of this structure
  UCHAR ScsiStatus;           // out
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
  UCHAR CdbLength;
  UCHAR SenseInfoLength;      // in: room for sense data; out: sense bytes returned
  UCHAR DataIn;               // SCSI_IOCTL_DATA_*
  ULONG DataTransferLength;   // in: data length; out: bytes moved
  ULONG TimeOutValue;         // seconds
  ULONG_PTR DataBufferOffset; // from the start of the request
  ULONG SenseInfoOffset;      // from the start of the request
  UCHAR Cdb[16];
} SCSI_PASS_THROUGH, *PSCSI_PASS_THROUGH;

// Header of every IOCTL_SCSI_MINIPORT request.
typedef struct _SRB_IO_CONTROL {
  ULONG HeaderLength;  // size of this header
  UCHAR Signature[8];  // names the miniport's request family; no terminator
  ULONG Timeout;       // seconds
  ULONG ControlCode;
  ULONG ReturnCode;    // out
  ULONG Length;        // bytes following this header
} SRB_IO_CONTROL, *PSRB_IO_CONTROL;

// ---- Storage class requests -------------------------------------------------------------------------
#define IOCTL_STORAGE_QUERY_PROPERTY \
  CTL_CODE(IOCTL_STORAGE_BASE, 0x0500, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STORAGE_SET_TEMPERATURE_THRESHOLD \
  CTL_CODE(IOCTL_STORAGE_BASE, 0x0480, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_STORAGE_PROTOCOL_COMMAND \
  CTL_CODE(IOCTL_STORAGE_BASE, 0x04F0, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_STORAGE_FIRMWARE_GET_INFO \
  CTL_CODE(IOCTL_STORAGE_BASE, 0x0700, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_STORAGE_FIRMWARE_DOWNLOAD \
  CTL_CODE(IOCTL_STORAGE_BASE, 0x0701, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_STORAGE_FIRMWARE_ACTIVATE \
  CTL_CODE(IOCTL_STORAGE_BASE, 0x0702, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
// Input: one byte, the PathId of the bus to reset; no output.
#define IOCTL_STORAGE_RESET_BUS \
  CTL_CODE(IOCTL_STORAGE_BASE, 0x0400, METHOD_BUFFERED, FILE_READ_ACCESS)

// The properties the system asks for (the SDK's list is longer; the values are the SDK's).
typedef enum _STORAGE_PROPERTY_ID {
  StorageDeviceProperty = 0,
  StorageAdapterProperty = 1,
  StorageAdapterProtocolSpecificProperty = 49,
  StorageDeviceProtocolSpecificProperty = 50,
} STORAGE_PROPERTY_ID, *PSTORAGE_PROPERTY_ID;

typedef enum _STORAGE_QUERY_TYPE {
  PropertyStandardQuery = 0,
  PropertyExistsQuery = 1,
  PropertyMaskQuery = 2,
  PropertyQueryMaxDefined = 3,
} STORAGE_QUERY_TYPE, *PSTORAGE_QUERY_TYPE;

typedef struct _STORAGE_PROPERTY_QUERY {
  STORAGE_PROPERTY_ID PropertyId;
  STORAGE_QUERY_TYPE QueryType;
  UCHAR AdditionalParameters[1];  // the property's own parameters start here
} STORAGE_PROPERTY_QUERY, *PSTORAGE_PROPERTY_QUERY;

typedef enum _STORAGE_PROTOCOL_TYPE {
  ProtocolTypeUnknown = 0,
  ProtocolTypeScsi = 1,
  ProtocolTypeAta = 2,
  ProtocolTypeNvme = 3,
  ProtocolTypeSd = 4,
} STORAGE_PROTOCOL_TYPE, *PSTORAGE_PROTOCOL_TYPE;

typedef enum _STORAGE_PROTOCOL_NVME_DATA_TYPE {
  NVMeDataTypeUnknown = 0,
  NVMeDataTypeIdentify = 1,
  NVMeDataTypeLogPage = 2,
  NVMeDataTypeFeature = 3,
} STORAGE_PROTOCOL_NVME_DATA_TYPE, *PSTORAGE_PROTOCOL_NVME_DATA_TYPE;

// Parameters of the protocol-specific properties (input after the query header; output after
// the descriptor header).
typedef struct _STORAGE_PROTOCOL_SPECIFIC_DATA {
  STORAGE_PROTOCOL_TYPE ProtocolType;
  ULONG DataType;
  ULONG ProtocolDataRequestValue;
  ULONG ProtocolDataRequestSubValue;
  ULONG ProtocolDataOffset;   // from the start of this structure
  ULONG ProtocolDataLength;
  ULONG FixedProtocolReturnData;
  ULONG ProtocolDataRequestSubValue2;
  ULONG ProtocolDataRequestSubValue3;
  ULONG ProtocolDataRequestSubValue4;
} STORAGE_PROTOCOL_SPECIFIC_DATA, *PSTORAGE_PROTOCOL_SPECIFIC_DATA;

typedef struct _STORAGE_PROTOCOL_DATA_DESCRIPTOR {
  ULONG Version;
  ULONG Size;
  STORAGE_PROTOCOL_SPECIFIC_DATA ProtocolSpecificData;
} STORAGE_PROTOCOL_DATA_DESCRIPTOR, *PSTORAGE_PROTOCOL_DATA_DESCRIPTOR;

// ---- Disk class requests ------------------------------------------------------------------------
#define FILE_DEVICE_DISK 0x00000007
#define IOCTL_DISK_BASE FILE_DEVICE_DISK
#define IOCTL_DISK_GET_CACHE_INFORMATION CTL_CODE(IOCTL_DISK_BASE, 0x0035, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_DISK_SET_CACHE_INFORMATION \
  CTL_CODE(IOCTL_DISK_BASE, 0x0036, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_STORAGE_GET_DEVICE_NUMBER CTL_CODE(IOCTL_STORAGE_BASE, 0x0420, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef enum { EqualPriority = 0, KeepPrefetchedData = 1, KeepReadData = 2 } DISK_CACHE_RETENTION_PRIORITY;

// A disk's cache parameters (24 bytes).
typedef struct _DISK_CACHE_INFORMATION {
  BOOLEAN ParametersSavable;
  BOOLEAN ReadCacheEnabled;
  BOOLEAN WriteCacheEnabled;
  DISK_CACHE_RETENTION_PRIORITY ReadRetentionPriority;
  DISK_CACHE_RETENTION_PRIORITY WriteRetentionPriority;
  USHORT DisablePrefetchTransferLength;
  BOOLEAN PrefetchScalar;  // selects the member of the union
  union {
    struct {
      USHORT Minimum;
      USHORT Maximum;
      USHORT MaximumBlocks;
    } ScalarPrefetch;
    struct {
      USHORT Minimum;
      USHORT Maximum;
    } BlockPrefetch;
  };
} DISK_CACHE_INFORMATION, *PDISK_CACHE_INFORMATION;

// The answer of IOCTL_STORAGE_GET_DEVICE_NUMBER (12 bytes).
typedef struct _STORAGE_DEVICE_NUMBER {
  DWORD DeviceType;
  DWORD DeviceNumber;
  DWORD PartitionNumber;
} STORAGE_DEVICE_NUMBER, *PSTORAGE_DEVICE_NUMBER;

#endif  // _WIN32
