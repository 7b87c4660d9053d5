// The device command libraries the strategies and the update engine call: identification,
// component id, firmware download and activation, and the vendor-unique identify record.
#pragma once

#include <cstdint>

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "vornbasics/identification.h"
#include "vorndedi/ops.h"
#include "vornfirmware/firmware.h"
#include "vornvuc/xr/fill_and_execute.h"
#include "vornvuc/xr/parse.h"
