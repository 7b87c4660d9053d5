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

// ---- Storage requests MinGW-w64 does not declare (both targets) ----------------------------------
// Each block is guarded by a name the SDK declares together with it, so that a header set that
// has the block already is not contradicted.

// Firmware requests of the Windows SCSI miniport interface (ntddscsi.h).
#ifndef FILE_DEVICE_SCSI
#define FILE_DEVICE_SCSI 0x0000001B
#endif
#ifndef IOCTL_SCSI_MINIPORT_FIRMWARE
#define IOCTL_SCSI_MINIPORT_FIRMWARE ((FILE_DEVICE_SCSI << 16) + 0x0780)
#endif

#ifndef FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION
#define FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION 0x1

#define FIRMWARE_FUNCTION_GET_INFO 0x01
#define FIRMWARE_FUNCTION_DOWNLOAD 0x02
#define FIRMWARE_FUNCTION_ACTIVATE 0x03

#define FIRMWARE_REQUEST_FLAG_CONTROLLER 0x00000001
#define FIRMWARE_REQUEST_FLAG_LAST_SEGMENT 0x00000002
#define FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE 0x80000000

// SRB_IO_CONTROL.ReturnCode of a firmware request.
#define FIRMWARE_STATUS_SUCCESS 0x0
#define FIRMWARE_STATUS_ERROR 0x1
#define FIRMWARE_STATUS_ILLEGAL_REQUEST 0x2
#define FIRMWARE_STATUS_INVALID_PARAMETER 0x3
#define FIRMWARE_STATUS_INPUT_BUFFER_TOO_BIG 0x4
#define FIRMWARE_STATUS_OUTPUT_BUFFER_TOO_SMALL 0x5
#define FIRMWARE_STATUS_INVALID_SLOT 0x6
#define FIRMWARE_STATUS_INVALID_IMAGE 0x7
#define FIRMWARE_STATUS_CONTROLLER_ERROR 0x10
#define FIRMWARE_STATUS_POWER_CYCLE_REQUIRED 0x20
#define FIRMWARE_STATUS_DEVICE_ERROR 0x40

// Follows the SRB_IO_CONTROL header of a "FIRMWARE" request.
typedef struct _FIRMWARE_REQUEST_BLOCK {
  ULONG Version;           // FIRMWARE_REQUEST_BLOCK_STRUCTURE_VERSION
  ULONG Size;              // size of this structure
  ULONG Function;          // FIRMWARE_FUNCTION_*
  ULONG Flags;             // FIRMWARE_REQUEST_FLAG_*
  ULONG DataBufferOffset;  // from the start of the SRB_IO_CONTROL header
  ULONG DataBufferLength;
} FIRMWARE_REQUEST_BLOCK, *PFIRMWARE_REQUEST_BLOCK;
#endif

#ifndef STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION
#define STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION 0x1
#define STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION 0x1

typedef struct _STORAGE_FIRMWARE_DOWNLOAD {
  ULONG Version;          // STORAGE_FIRMWARE_DOWNLOAD_STRUCTURE_VERSION
  ULONG Size;             // size of the structure up to ImageBuffer
  ULONGLONG Offset;       // byte offset of this piece in the image
  ULONGLONG BufferSize;   // bytes in ImageBuffer
  UCHAR ImageBuffer[1];
} STORAGE_FIRMWARE_DOWNLOAD, *PSTORAGE_FIRMWARE_DOWNLOAD;

typedef struct _STORAGE_FIRMWARE_ACTIVATE {
  ULONG Version;          // STORAGE_FIRMWARE_ACTIVATE_STRUCTURE_VERSION
  ULONG Size;             // size of this structure
  UCHAR SlotToActivate;
  UCHAR Reserved0[3];
} STORAGE_FIRMWARE_ACTIVATE, *PSTORAGE_FIRMWARE_ACTIVATE;
#endif

// Storage protocol command (winioctl.h): the request of IOCTL_STORAGE_PROTOCOL_COMMAND.
#ifndef STORAGE_PROTOCOL_STRUCTURE_VERSION
#define STORAGE_PROTOCOL_STRUCTURE_VERSION 0x1

#define STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST 0x80000000

#define STORAGE_PROTOCOL_STATUS_PENDING 0x0
#define STORAGE_PROTOCOL_STATUS_SUCCESS 0x1
#define STORAGE_PROTOCOL_STATUS_ERROR 0x2
#define STORAGE_PROTOCOL_STATUS_INVALID_REQUEST 0x3
#define STORAGE_PROTOCOL_STATUS_NO_DEVICE 0x4
#define STORAGE_PROTOCOL_STATUS_BUSY 0x5
#define STORAGE_PROTOCOL_STATUS_DATA_OVERRUN 0x6
#define STORAGE_PROTOCOL_STATUS_INSUFFICIENT_RESOURCES 0x7
#define STORAGE_PROTOCOL_STATUS_NOT_SUPPORTED 0xFF

#define STORAGE_PROTOCOL_COMMAND_LENGTH_NVME 0x40

#define STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND 0x01
#define STORAGE_PROTOCOL_SPECIFIC_NVME_NVM_COMMAND 0x02

typedef struct _STORAGE_PROTOCOL_COMMAND {
  ULONG Version;                       // STORAGE_PROTOCOL_STRUCTURE_VERSION
  ULONG Length;                        // size of this structure up to Command, padded
  STORAGE_PROTOCOL_TYPE ProtocolType;
  ULONG Flags;                         // STORAGE_PROTOCOL_COMMAND_FLAG_*
  ULONG ReturnStatus;                  // out: STORAGE_PROTOCOL_STATUS_*
  ULONG ErrorCode;                     // out: the protocol's own error
  ULONG CommandLength;
  ULONG ErrorInfoLength;
  ULONG DataToDeviceTransferLength;
  ULONG DataFromDeviceTransferLength;
  ULONG TimeOutValue;                  // seconds
  ULONG ErrorInfoOffset;               // from the start of this structure
  ULONG DataToDeviceBufferOffset;
  ULONG DataFromDeviceBufferOffset;
  ULONG CommandSpecific;               // STORAGE_PROTOCOL_SPECIFIC_NVME_*
  ULONG Reserved0;
  ULONG FixedProtocolReturnData;       // out
  ULONG Reserved1[3];
  UCHAR Command[1];                    // the protocol's command block
} STORAGE_PROTOCOL_COMMAND, *PSTORAGE_PROTOCOL_COMMAND;
#endif

// Temperature threshold (winioctl.h): the input of IOCTL_STORAGE_SET_TEMPERATURE_THRESHOLD.
#ifndef STORAGE_TEMPERATURE_THRESHOLD_FLAG_ADAPTER_REQUEST
#define STORAGE_TEMPERATURE_THRESHOLD_FLAG_ADAPTER_REQUEST 0x0001

typedef struct _STORAGE_TEMPERATURE_THRESHOLD {
  ULONG Version;          // size of this structure
  ULONG Size;             // size of this structure
  USHORT Flags;           // STORAGE_TEMPERATURE_THRESHOLD_FLAG_*
  USHORT Index;           // sensor
  SHORT Threshold;        // degrees Celsius
  BOOLEAN OverThreshold;  // 1: over-temperature threshold, 0: under-temperature threshold
  UCHAR Reserved;
} STORAGE_TEMPERATURE_THRESHOLD, *PSTORAGE_TEMPERATURE_THRESHOLD;
#endif

// Storage firmware requests (winioctl.h): inputs and output of IOCTL_STORAGE_FIRMWARE_GET_INFO,
// _DOWNLOAD and _ACTIVATE.
#ifndef STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER
#define STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER 0x00000001
#define STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT 0x00000002
#define STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE 0x80000000

#define STORAGE_HW_FIRMWARE_INVALID_SLOT 0xFF
#define STORAGE_HW_FIRMWARE_REVISION_LENGTH 16

typedef struct _STORAGE_HW_FIRMWARE_INFO_QUERY {
  ULONG Version;   // size of this structure
  ULONG Size;      // size of this structure
  ULONG Flags;     // STORAGE_HW_FIRMWARE_REQUEST_FLAG_*
  ULONG Reserved;
} STORAGE_HW_FIRMWARE_INFO_QUERY, *PSTORAGE_HW_FIRMWARE_INFO_QUERY;

typedef struct _STORAGE_HW_FIRMWARE_SLOT_INFO {
  ULONG Version;
  ULONG Size;
  UCHAR SlotNumber;
  BOOLEAN ReadOnly;
  UCHAR Reserved[6];
  UCHAR Revision[STORAGE_HW_FIRMWARE_REVISION_LENGTH];
} STORAGE_HW_FIRMWARE_SLOT_INFO, *PSTORAGE_HW_FIRMWARE_SLOT_INFO;

typedef struct _STORAGE_HW_FIRMWARE_INFO {
  ULONG Version;
  ULONG Size;
  UCHAR SupportUpgrade : 1;
  UCHAR Reserved0 : 7;
  UCHAR SlotCount;
  UCHAR ActiveSlot;
  UCHAR PendingActivateSlot;
  BOOLEAN FirmwareShared;
  UCHAR Reserved[3];
  ULONG ImagePayloadAlignment;
  ULONG ImagePayloadMaxSize;
  STORAGE_HW_FIRMWARE_SLOT_INFO Slot[1];
} STORAGE_HW_FIRMWARE_INFO, *PSTORAGE_HW_FIRMWARE_INFO;

typedef struct _STORAGE_HW_FIRMWARE_DOWNLOAD {
  ULONG Version;          // size of this structure
  ULONG Size;             // size of the whole request
  ULONG Flags;            // STORAGE_HW_FIRMWARE_REQUEST_FLAG_*
  UCHAR Slot;
  UCHAR Reserved[3];
  ULONGLONG Offset;       // byte offset of this piece in the image
  ULONGLONG BufferSize;   // bytes in ImageBuffer
  UCHAR ImageBuffer[1];
} STORAGE_HW_FIRMWARE_DOWNLOAD, *PSTORAGE_HW_FIRMWARE_DOWNLOAD;

typedef struct _STORAGE_HW_FIRMWARE_ACTIVATE {
  ULONG Version;   // size of this structure
  ULONG Size;      // size of this structure
  ULONG Flags;     // STORAGE_HW_FIRMWARE_REQUEST_FLAG_*
  UCHAR Slot;
  UCHAR Reserved0[3];
} STORAGE_HW_FIRMWARE_ACTIVATE, *PSTORAGE_HW_FIRMWARE_ACTIVATE;
#endif

// Disk cache setting (ntdddisk.h): the write-cache state and the is-power-protected flag Windows
// keeps for a disk.
#ifndef IOCTL_DISK_GET_CACHE_SETTING
#define IOCTL_DISK_GET_CACHE_SETTING CTL_CODE(IOCTL_DISK_BASE, 0x0038, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_DISK_SET_CACHE_SETTING \
  CTL_CODE(IOCTL_DISK_BASE, 0x0039, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

typedef enum _DISK_CACHE_STATE {
  DiskCacheNormal = 0,
  DiskCacheWriteThroughNotSupported = 1,
  DiskCacheModifyUnsuccessful = 2,
} DISK_CACHE_STATE, *PDISK_CACHE_STATE;

typedef struct _DISK_CACHE_SETTING {
  ULONG Version;             // size of this structure
  DISK_CACHE_STATE State;
  BOOLEAN IsPowerProtected;  // writes need no cache flush
} DISK_CACHE_SETTING, *PDISK_CACHE_SETTING;
#endif

// ---- Kernel-streaming topology of a filter (vidcap.h; MinGW-w64 lacks it) -----------------------
#ifdef _WIN32
#ifndef ORBU_IKSTOPOLOGYINFO_DECLARED
#define ORBU_IKSTOPOLOGYINFO_DECLARED
// {720D4AC0-7533-11D0-A5D6-28DB04C10000}
inline const IID IID_IKsTopologyInfo = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// The nodes and connections of a filter's topology; the methods in the interface's vtable order.
struct IKsTopologyInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD *pdwNumCategories) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Category(DWORD dwIndex, GUID *pCategory) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD *pdwNumConnections) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD dwIndex, KSTOPOLOGY_CONNECTION *pConnectionInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeName(DWORD dwNodeId, WCHAR *pwchNodeName, DWORD dwBufSize,
                                                 DWORD *pdwNameLen) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD *pdwNumNodes) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_NodeType(DWORD dwNodeId, GUID *pNodeType) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD dwNodeId, REFIID iid, void **ppvObject) = 0;
};
#endif
#endif

// ---- Task Scheduler triggers that MinGW-w64's taskschd.h lacks (Windows only) ------------------
// The stand-in declares them in win_taskschd.h. Each derives from ITrigger, its own methods in the
// interface's vtable order.
#ifdef _WIN32
#ifndef __IWeeklyTrigger_INTERFACE_DEFINED__
#define __IWeeklyTrigger_INTERFACE_DEFINED__
// {5038FC98-82FF-436D-8728-A512A57C9DC1}
inline const IID IID_IWeeklyTrigger = {0x5038FC98, 0x82FF, 0x436D, {0x87, 0x28, 0xA5, 0x12, 0xA5, 0x7C, 0x9D, 0xC1}};
struct IWeeklyTrigger : public ITrigger {
  virtual HRESULT STDMETHODCALLTYPE get_DaysOfWeek(short *days) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DaysOfWeek(short days) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_WeeksInterval(short *weeks) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_WeeksInterval(short weeks) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RandomDelay(BSTR *delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RandomDelay(BSTR delay) = 0;
};
#endif
#ifndef __IMonthlyTrigger_INTERFACE_DEFINED__
#define __IMonthlyTrigger_INTERFACE_DEFINED__
// {97C45EF1-6B02-4A1A-9C0E-1EBFBA1500AC}
inline const IID IID_IMonthlyTrigger = {0x97C45EF1, 0x6B02, 0x4A1A, {0x9C, 0x0E, 0x1E, 0xBF, 0xBA, 0x15, 0x00, 0xAC}};
struct IMonthlyTrigger : public ITrigger {
  virtual HRESULT STDMETHODCALLTYPE get_DaysOfMonth(LONG *days) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DaysOfMonth(LONG days) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MonthsOfYear(short *months) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_MonthsOfYear(short months) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RunOnLastDayOfMonth(VARIANT_BOOL *last_day) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RunOnLastDayOfMonth(VARIANT_BOOL last_day) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RandomDelay(BSTR *delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_RandomDelay(BSTR delay) = 0;
};
#endif
#ifndef __ILogonTrigger_INTERFACE_DEFINED__
#define __ILogonTrigger_INTERFACE_DEFINED__
// {72DADE38-FAE4-4B3E-BAF4-5D009AF02B1C}
inline const IID IID_ILogonTrigger = {0x72DADE38, 0xFAE4, 0x4B3E, {0xBA, 0xF4, 0x5D, 0x00, 0x9A, 0xF0, 0x2B, 0x1C}};
struct ILogonTrigger : public ITrigger {
  virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR *delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR *user) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};
#endif
#endif
