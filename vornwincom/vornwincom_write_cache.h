// A disk's write caching and write-cache buffer flushing, on the open handle of its record, and
// COM start-up for the library's COM users on the calling thread.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"

// *enabled receives the disk's write-cache-enabled flag. 0 or 1.
int vornwincom_get_write_caching(huld_error *err, const huld_dev *dev, uint8_t *enabled);
// Sets write caching to `enable` and read caching on; every other cache parameter stays. 0 or 1.
int vornwincom_set_write_caching(huld_error *err, const huld_dev *dev, uint8_t enable);
// *power_protected receives the flag that spares the disk's cache flushes. 0 or 1.
int vornwincom_get_write_cache_buffer_flushing(huld_error *err, const huld_dev *dev, uint8_t *power_protected);
int vornwincom_set_write_cache_buffer_flushing(huld_error *err, const huld_dev *dev, uint8_t power_protected);

// Puts the calling thread into the multithreaded apartment (with default process security the
// first time); a thread already in an apartment is left as it is. 0, or 1 when COM refuses.
int vornwincom_default_initialize_com(huld_error *err);
// Ends a membership that vornwincom_default_initialize_com began on this thread (and nothing
// else). Always 0.
int vornwincom_default_uninitialize_com(huld_error *err);
