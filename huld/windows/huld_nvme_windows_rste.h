// NVMe through the Intel RSTe driver.
#pragma once

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"

int huld_nvme_windows_rste_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd);
