// Back ends of the Adaptec, MegaRAID and AMD RAID devices. No such controller is served: a
// command that reached one of them would not run, so it is refused instead of reported as done.
#define HULD_MODULE "huld\\windows\\huld_raid_windows"

#include "huld/windows/huld_raid_windows.h"

namespace {

int refuse(huld_error *err, const huld_dev *dev, const char *function) {
  return huld_error_set(err, HULD_ERROR_NOT_SUPPORTED, dev ? dev->iface : 0, HULD_MODULE, function,
                        __LINE__, "interface is not supported");
}

}  // namespace

int huld_adaptec_ata_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *) {
  return refuse(err, dev, __func__);
}
int huld_adaptec_scsi_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *) {
  return refuse(err, dev, __func__);
}
int huld_adaptec_probe(huld_dev *) { return 0; }
int huld_adaptec_cleanup(huld_dev *) { return 0; }
void huld_adaptec_enumerate(huld_dev_enumeration *) {}

int huld_megaraid_ata_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *) {
  return refuse(err, dev, __func__);
}
int huld_megaraid_nvme_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *) {
  return refuse(err, dev, __func__);
}
int huld_megaraid_scsi_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *) {
  return refuse(err, dev, __func__);
}
int huld_megaraid_probe(huld_dev *) { return 0; }
int huld_megaraid_cleanup(huld_dev *) { return 0; }
void huld_megaraid_enumerate(huld_dev_enumeration *) {}

int huld_amd_raid_ata_execute(huld_error *err, huld_dev *dev, huld_ata_cmd *) {
  return refuse(err, dev, __func__);
}
int huld_amd_raid_nvme_execute(huld_error *err, huld_dev *dev, huld_nvme_cmd *) {
  return refuse(err, dev, __func__);
}
int huld_amd_raid_scsi_execute(huld_error *err, huld_dev *dev, huld_scsi_cmd *) {
  return refuse(err, dev, __func__);
}
void huld_amd_raid_enumerate(huld_dev_enumeration *) {}
