// NVMe physical disks behind a Marvell NevoX controller.
#pragma once

#include "huld/huld_dev.h"
#include "huld/huld_log.h"
#include "huld/huld_nvme.h"

int huld_nvme_marvell_nevox_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *cmd);
// Appends one record per physical disk of the controller record; reports nothing.
void huld_windows_enumerate_nevox(huld_dev *controller, huld_dev_enumeration *enumeration);
