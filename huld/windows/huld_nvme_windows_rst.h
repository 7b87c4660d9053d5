// NVMe through the Intel RST driver.
#pragma once

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"

int huld_nvme_windows_rst_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd);
int huld_nvme_windows_rst_probe(huld_dev *dev);
