// Windows half of the device-record lifecycle (open, close, copy, cleanup, is-open) and the
// Windows enumeration passes.
#pragma once

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// 1 when h names an open handle (neither 0 nor INVALID_HANDLE_VALUE).
int huld_windows_handle_is_open(HANDLE h);

int huld_windows_dev_open(huld_error *err, huld_dev *dev);
int huld_windows_dev_close(huld_error *err, huld_dev *dev);
// dest holds a byte copy of src; opens new handles on the same paths. 0 or 1 (dest then owns
// no handle).
int huld_windows_dev_copy(huld_dev *dest, const huld_dev *src);
int huld_windows_dev_is_open(const huld_dev *dev);
int huld_windows_dev_cleanup(huld_dev *dev);

int huld_windows_uvc_dev_open(huld_error *err, huld_dev *dev);
void huld_windows_uvc_dev_close(huld_dev *dev);

void huld_windows_enumerate_disk(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_hdc(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_scsi_adapter(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_csmi(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_rste(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_ses(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_usb(huld_dev_enumeration *enumeration);
void huld_windows_enumerate_uvc(huld_dev_enumeration *enumeration);
