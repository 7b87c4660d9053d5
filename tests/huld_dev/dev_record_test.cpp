// Device records: classes, container, life under the machine's handle accounting, probe, disk
// number, attached data and related records.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "huld/huld_dev.h"
#include "sim/device.h"
#include "sim/faults.h"
#include "sim/handles.h"
#include "sim/machine.h"
#include "tests/support/huld_error_line.h"

namespace {

const char kDiskPath[] = "\\\\.\\PhysicalDrive7";
const char kPortPath[] = "\\\\.\\Scsi3:";

class DevRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset_machine();
    disk_ = std::make_shared<sim::FunctionDevice>("disk7", nullptr);
    port_ = std::make_shared<sim::FunctionDevice>("port3", nullptr);
    sim::register_device(disk_, {kDiskPath});
    sim::register_device(port_, {kPortPath});
    before_ = sim::ResourceSnapshot::take();
  }
  void TearDown() override { sim::reset_machine(); }

  // A record as an enumerator leaves it: prepared, named, with a path, closed.
  static huld_dev disk_record(const char *name = "disk7") {
    huld_dev dev;
    huld_dev_enumeration e{};
    huld_dev *slot = huld_dev_enumeration_push_back(&e);
    dev = *slot;
    huld_dev_release(&e);
    strcpy(dev.name, name);
    strcpy(dev.conn.path, kDiskPath);
    dev.conn.type = CONN_DISK;
    return dev;
  }

  std::shared_ptr<sim::FunctionDevice> disk_, port_;
  sim::ResourceSnapshot before_;
};

// ---- classes ------------------------------------------------------------------------------------

TEST(DevClasses, EveryInterfaceValueFallsIntoItsClasses) {
  const std::set<uint32_t> ata = {3, 10, 13, 15, 17, 22, 25, 26, 28};
  const std::set<uint32_t> nvme = {1, 4, 5, 6, 7, 8, 12, 18, 19, 23, 27, 29};
  const std::set<uint32_t> scsi = {2, 3, 9, 10, 11, 12, 14, 16, 24, 25, 30};
  for (uint32_t iface = 0; iface <= 32; ++iface) {
    SCOPED_TRACE("iface " + std::to_string(iface));
    huld_dev dev{};
    dev.iface = iface;
    EXPECT_EQ(huld_dev_is_ata(&dev), ata.count(iface) ? 1 : 0);
    EXPECT_EQ(huld_dev_is_nvme(&dev), nvme.count(iface) ? 1 : 0);
    EXPECT_EQ(huld_dev_is_scsi(&dev), scsi.count(iface) ? 1 : 0);
    EXPECT_EQ(huld_dev_is_sat(&dev), iface == 3 || iface == 10 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_asmedia_nvme(&dev), iface == 12 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_marvell_nevox(&dev), iface == 19 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_usb_hub(&dev), iface == 20 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_amd_raid(&dev), iface >= 28 && iface <= 30 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_intel_rst(&dev), iface == 6 || iface == 11 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_intel_rste(&dev), iface == 7 ? 1 : 0);
  }
}

TEST(DevClasses, ConnectionAndDriverPredicates) {
  for (uint32_t v = 0; v <= 13; ++v) {
    SCOPED_TRACE("value " + std::to_string(v));
    huld_dev c{};
    c.conn.type = v;
    EXPECT_EQ(huld_dev_is_csmi(&c), v == 1 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_disk(&c), v == 2 || v == 12 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_ses(&c), v == 4 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_adaptec(&c), v == 5 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_megaraid(&c), v == 6 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_conn_type_9(&c), v == 9 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_conn_type_10(&c), v == 10 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_disk_pool_member(&c), v == 12 ? 1 : 0);

    huld_dev d{};
    d.conn.driver = v;
    EXPECT_EQ(huld_dev_is_inbox_ahci(&d), v == 1 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_inbox_nvme(&d), v == 2 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_inbox(&d), v == 1 || v == 2 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_usb_mass_storage(&d), v == 3 || v == 4 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_uas(&d), v == 4 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_intel_rst(&d), v == 5 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_intel_rste(&d), v == 6 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_adaptec_raid(&d), v == 7 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_xr_nvme(&d), v == 8 ? 1 : 0);
    EXPECT_EQ(huld_dev_is_uvc(&d), v == 9 ? 1 : 0);
  }
}

TEST(DevClasses, RaidMembershipRulesInOrder) {
  huld_dev dev{};
  dev.conn.type = CONN_CSMI;
  dev.conn.driver = INTEL_RSTE;
  dev.rste_raid_member = 1;
  EXPECT_EQ(huld_dev_is_raid_member(&dev), 0);  // the CSMI flag is asked first
  dev.csmi_raid_member = 1;
  EXPECT_EQ(huld_dev_is_raid_member(&dev), 1);

  huld_dev rste{};
  rste.iface = WINDOWS_NVME_INTEL_RSTE;
  EXPECT_EQ(huld_dev_is_raid_member(&rste), 0);
  rste.rste_raid_member = 1;
  EXPECT_EQ(huld_dev_is_raid_member(&rste), 1);

  huld_dev other{};
  other.conn.driver = ADAPTEC_RAID;
  EXPECT_EQ(huld_dev_is_raid_member(&other), 1);
  other = huld_dev{};
  other.conn.type = CONN_DISK_POOL_MEMBER;
  EXPECT_EQ(huld_dev_is_raid_member(&other), 1);
  other = huld_dev{};
  other.iface = MARVELL_NEVOX;
  EXPECT_EQ(huld_dev_is_raid_member(&other), 1);
  other = huld_dev{};
  other.conn.type = CONN_DISK;
  EXPECT_EQ(huld_dev_is_raid_member(&other), 0);
}

// ---- container ----------------------------------------------------------------------------------

TEST(DevEnumeration, PushBackGrowsFromAnEmptyContainerAndPresetsSlots) {
  huld_dev_enumeration e{};
  huld_dev *first = huld_dev_enumeration_push_back(&e);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(e.capacity, 8u);
  EXPECT_EQ(e.count, 1u);
  EXPECT_EQ(first->conn.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(first->rst_port_handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(first->disk_number, 0xFFFFFFFFu);
  EXPECT_EQ(first->rste_disk_number, 0xFFFFFFFFu);
  EXPECT_EQ(first->scsi_address.PortNumber, 0xFF);
  EXPECT_EQ(first->iface, 0u);
  EXPECT_EQ(first->data_list, nullptr);
  strcpy(first->name, "disk0");

  for (int i = 1; i < 7; ++i) ASSERT_NE(huld_dev_enumeration_push_back(&e), nullptr);
  EXPECT_EQ(e.capacity, 8u);
  EXPECT_EQ(e.count, 7u);
  huld_dev *eighth = huld_dev_enumeration_push_back(&e);  // count 7 of 8: grows first
  ASSERT_NE(eighth, nullptr);
  EXPECT_EQ(e.capacity, 16u);
  EXPECT_EQ(e.count, 8u);
  EXPECT_EQ(eighth, &e.devices[7]);
  EXPECT_STREQ(e.devices[0].name, "disk0");  // records moved with the block

  huld_dev_enumeration_pop_back(&e);
  EXPECT_EQ(e.count, 7u);
  EXPECT_EQ(e.devices[7].disk_number, 0u);  // zeroed
  huld_dev_release(&e);
  EXPECT_EQ(e.capacity, 0u);
  EXPECT_EQ(e.count, 0u);
  EXPECT_EQ(e.devices, nullptr);

  huld_dev_enumeration empty{};
  huld_dev_enumeration_pop_back(&empty);  // nothing to drop
  huld_dev_release(&empty);               // only zeroes
  EXPECT_EQ(empty.count, 0u);
}

TEST(DevEnumeration, EnumerateStartsWithEightFreeSlots) {
  huld_dev_enumeration e{};
  huld_dev_enumerate_flags(&e, HULD_ENUMERATE_ADAPTEC | HULD_ENUMERATE_MEGARAID |
                                   HULD_ENUMERATE_AMD_RAID);
  EXPECT_EQ(e.capacity, 8u);
  EXPECT_EQ(e.count, 0u);  // the RAID passes find nothing
  ASSERT_NE(e.devices, nullptr);
  huld_dev_release(&e);
  EXPECT_EQ(e.devices, nullptr);
}

// ---- life ---------------------------------------------------------------------------------------

TEST_F(DevRecord, ZeroAndInvalidHandlesBothMeanClosed) {
  huld_dev dev{};  // handles 0
  strcpy(dev.conn.path, kDiskPath);
  EXPECT_EQ(huld_dev_is_open(&dev), 0);
  huld_error err{};
  EXPECT_EQ(huld_dev_close(&err, &dev), 0);  // nothing closed
  ASSERT_EQ(huld_dev_open(&err, &dev), 0);
  EXPECT_EQ(huld_dev_is_open(&dev), 1);
  HANDLE h = dev.conn.handle;
  EXPECT_EQ(huld_dev_open(&err, &dev), 0);  // already open: no second handle
  EXPECT_EQ(dev.conn.handle, h);
  EXPECT_EQ(sim::handle_open_count(), before_["handles"] + 1);
  EXPECT_EQ(huld_dev_close(&err, &dev), 0);
  EXPECT_EQ(dev.conn.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(huld_dev_cleanup(&dev), 0);  // closed record: nothing closed twice
}

TEST_F(DevRecord, OpenFailureReportsTheSystemError) {
  huld_dev dev = disk_record();
  strcpy(dev.conn.path, "\\\\.\\PhysicalDrive99");
  huld_error err{};
  EXPECT_EQ(huld_dev_open(&err, &dev), 1);
  EXPECT_EQ(error_line(err),
            "code 4 subcode 2 file huld\\windows\\huld_windows_enumerate function huld_windows_dev_open"
            " message windows dev open failed, could not open \\\\.\\PhysicalDrive99");
  EXPECT_EQ(dev.conn.handle, INVALID_HANDLE_VALUE);
}

TEST_F(DevRecord, PortOwnerOpensOnlyWhatIsClosedAndClosesBoth) {
  huld_dev dev = disk_record();
  dev.conn.driver = INTEL_RST;
  strcpy(dev.rst_port_path, kPortPath);
  huld_error err{};
  dev.conn.handle = CreateFileA(kDiskPath, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE conn = dev.conn.handle;
  EXPECT_EQ(huld_dev_is_open(&dev), 0);  // the port is not open yet
  ASSERT_EQ(huld_dev_open(&err, &dev), 0);
  EXPECT_EQ(dev.conn.handle, conn);      // kept, not reopened
  EXPECT_NE(dev.rst_port_handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sim::handle_open_count(), before_["handles"] + 2);

  // Closing a half-open record closes what is open.
  huld_dev half = disk_record();
  strcpy(half.rst_port_path, kPortPath);
  half.conn.handle = CreateFileA(kDiskPath, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(huld_dev_close(&err, &half), 0);
  EXPECT_EQ(half.conn.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sim::handle_open_count(), before_["handles"] + 2);

  // A port that cannot be opened leaves nothing open that this call opened.
  huld_dev other = disk_record();
  strcpy(other.rst_port_path, "\\\\.\\Scsi9:");
  EXPECT_EQ(huld_dev_open(&err, &other), 1);
  EXPECT_STREQ(err.message, "windows dev open failed, could not open \\\\.\\Scsi9:");
  EXPECT_EQ(other.conn.handle, INVALID_HANDLE_VALUE);

  // Nor does it close a disk handle the caller had open: the record keeps it.
  huld_dev held = disk_record();
  strcpy(held.rst_port_path, kPortPath);
  held.conn.handle = CreateFileA(kDiskPath, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  const HANDLE disk = held.conn.handle;
  sim::fail_open(kPortPath, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(huld_dev_open(&err, &held), 1);
  EXPECT_EQ(err.subcode, static_cast<uint32_t>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(held.conn.handle, disk);
  EXPECT_EQ(sim::handle_open_count(), before_["handles"] + 3);
  EXPECT_EQ(huld_dev_cleanup(&held), 0);
  EXPECT_EQ(sim::handle_open_count(), before_["handles"] + 2);

  EXPECT_EQ(huld_dev_cleanup(&dev), 0);
  EXPECT_EQ(dev.rst_port_handle, INVALID_HANDLE_VALUE);
}

struct Payload {
  int value;
  static int frees;
};
int Payload::frees = 0;

void payload_copy(void **slot, const void *src) {
  *slot = new Payload{static_cast<const Payload *>(src)->value};
}
void payload_free(void *data) {
  ++Payload::frees;
  delete static_cast<Payload *>(data);
}

huld_dev_data *new_node(uint64_t key, int value) {
  auto *node = static_cast<huld_dev_data *>(calloc(1, sizeof(huld_dev_data)));
  node->key = key;
  node->copy = payload_copy;
  node->free = payload_free;
  node->data = new Payload{value};
  return node;
}

TEST_F(DevRecord, CopyOwnsNewHandlesAndItsOwnDataList) {
  Payload::frees = 0;
  huld_dev src = disk_record();
  strcpy(src.rst_port_path, kPortPath);
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &src), 0);
  huld_dev_data_append(&src, new_node(1, 11));
  huld_dev_data_append(&src, new_node(2, 22));

  huld_dev dest{};
  ASSERT_EQ(huld_dev_copy(&dest, &src), 0);
  EXPECT_STREQ(dest.name, "disk7");
  EXPECT_NE(dest.conn.handle, src.conn.handle);
  EXPECT_NE(dest.rst_port_handle, src.rst_port_handle);
  EXPECT_EQ(huld_dev_is_open(&dest), 1);
  EXPECT_EQ(sim::handle_open_count(), before_["handles"] + 4);

  // The copy's list is its own: the source still has exactly its two nodes.
  ASSERT_NE(dest.data_list, nullptr);
  EXPECT_NE(dest.data_list, src.data_list);
  EXPECT_EQ(src.data_list->next->next, nullptr);
  huld_dev_data *copied = huld_dev_data_find(&dest, 2);
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(static_cast<Payload *>(copied->data)->value, 22);
  EXPECT_NE(copied->data, huld_dev_data_find(&src, 2)->data);

  EXPECT_EQ(huld_dev_cleanup(&dest), 0);
  EXPECT_EQ(huld_dev_cleanup(&src), 0);
  EXPECT_EQ(Payload::frees, 4);
}

TEST_F(DevRecord, FailedCopyOwnsNothing) {
  huld_dev src = disk_record();
  strcpy(src.rst_port_path, kPortPath);
  huld_error err{};
  ASSERT_EQ(huld_dev_open(&err, &src), 0);
  huld_dev_data_append(&src, new_node(5, 55));
  sim::unregister_path(kPortPath);  // the port can no longer be opened anew

  huld_dev dest{};
  EXPECT_EQ(huld_dev_copy(&dest, &src), 1);
  EXPECT_EQ(dest.conn.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(dest.rst_port_handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(dest.data_list, nullptr);
  EXPECT_EQ(huld_dev_cleanup(&dest), 0);  // closes nothing of the source's
  EXPECT_EQ(huld_dev_is_open(&src), 1);
  EXPECT_EQ(huld_dev_cleanup(&src), 0);
}

TEST_F(DevRecord, CopyOfAClosedRecordOpensNothingAndNullsAreRefused) {
  huld_dev src = disk_record();
  huld_dev dest{};
  EXPECT_EQ(huld_dev_copy(&dest, &src), 0);
  EXPECT_EQ(dest.conn.handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(huld_dev_copy(nullptr, &src), 1);
  EXPECT_EQ(huld_dev_copy(&dest, nullptr), 1);
  EXPECT_EQ(huld_dev_cleanup(nullptr), 1);
  EXPECT_EQ(huld_dev_cleanup(&dest), 0);
}

TEST_F(DevRecord, ReleaseClosesEveryRecordOnce) {
  huld_dev_enumeration e{};
  huld_error err{};
  for (int i = 0; i < 10; ++i) {
    huld_dev *slot = huld_dev_enumeration_push_back(&e);
    ASSERT_NE(slot, nullptr);
    snprintf(slot->name, sizeof(slot->name), "disk%d", i);
    strcpy(slot->conn.path, kDiskPath);
    slot->conn.type = CONN_DISK;
    if (i % 2 == 0) {
      ASSERT_EQ(huld_dev_open(&err, slot), 0);
    }
  }
  EXPECT_EQ(sim::handle_open_count(), before_["handles"] + 5);
  huld_dev_release(&e);
  EXPECT_EQ(e.devices, nullptr);
}

// ---- probe --------------------------------------------------------------------------------------

TEST_F(DevRecord, ProbeKeepsInterfacesSetByEnumeratorsAndReportsNoInterface) {
  huld_error err{};
  for (uint32_t kept : {19u, 7u, 21u, 28u, 29u, 30u}) {
    huld_dev dev = disk_record();
    dev.iface = kept;
    dev.uvc_control = kept == WINDOWS_UVC ? &dev : nullptr;  // a video record is open through it
    EXPECT_EQ(huld_dev_probe(&err, &dev), 0) << kept;
    EXPECT_EQ(dev.iface, kept);
    dev.uvc_control = nullptr;
    huld_dev_cleanup(&dev);
  }

  // A hub keeps its interface when no probe answers.
  huld_dev hub = disk_record("hub");
  hub.iface = WINDOWS_USB_HUB;
  hub.conn.type = CONN_USB_HUB;
  EXPECT_EQ(huld_dev_probe(&err, &hub), 0);
  EXPECT_EQ(hub.iface, (uint32_t)WINDOWS_USB_HUB);

  // Nothing answers: code 3, and the record stays open.
  huld_dev dev = disk_record();
  EXPECT_EQ(huld_dev_probe_flags(&err, &dev, HULD_PROBE_SAT_FIRST), 1);
  EXPECT_EQ(err.code, HULD_ERROR_NO_INTERFACE);
  EXPECT_STREQ(err.message, "unable to find a supported interface for device disk7");
  EXPECT_EQ(huld_dev_is_open(&dev), 1);
  huld_dev_cleanup(&dev);

  // A record that cannot be opened returns the open's error.
  huld_dev missing = disk_record();
  strcpy(missing.conn.path, "\\\\.\\PhysicalDrive42");
  EXPECT_EQ(huld_dev_probe(&err, &missing), 1);
  EXPECT_EQ(err.code, HULD_ERROR_SYSTEM);
}

// ---- disk number --------------------------------------------------------------------------------

TEST(DevDiskNumber, FromTheNameOrTheRsteNumber) {
  huld_error err{};
  uint32_t n = 0;
  huld_dev dev{};
  strcpy(dev.name, "disk3.pd1");
  EXPECT_EQ(huld_dev_get_disk_number(&err, &n, &dev), 0);
  EXPECT_EQ(n, 3u);

  strcpy(dev.name, "nvme0");
  EXPECT_EQ(huld_dev_get_disk_number(&err, &n, &dev), 1);
  EXPECT_EQ(err.code, HULD_ERROR_FAILURE);
  EXPECT_STREQ(err.message, "invalid device nvme0 - not a disk");

  strcpy(dev.name, "raiddisk");
  EXPECT_EQ(huld_dev_get_disk_number(&err, &n, &dev), 1);
  EXPECT_STREQ(err.message, "failed to scan disk number from device name - raiddisk");

  dev.iface = WINDOWS_NVME_INTEL_RSTE;
  dev.rste_disk_number = 3;
  strcpy(dev.name, "rste0");
  n = 0;
  EXPECT_EQ(huld_dev_get_disk_number(&err, &n, &dev), 0);
  EXPECT_EQ(n, 3u);
  dev.rste_disk_number = 0xFFFFFFFFu;  // not set yet: the name decides
  EXPECT_EQ(huld_dev_get_disk_number(&err, &n, &dev), 1);
}

// ---- attached data ------------------------------------------------------------------------------

TEST(DevData, AppendFindRemoveCleanup) {
  Payload::frees = 0;
  huld_dev dev{};
  huld_dev_data *a = new_node(1, 1);
  huld_dev_data *b = new_node(2, 2);
  huld_dev_data *c = new_node(2, 3);
  huld_dev_data_append(&dev, a);
  huld_dev_data_append(&dev, b);
  huld_dev_data_append(&dev, c);
  EXPECT_EQ(a->previous, nullptr);
  EXPECT_EQ(c->previous, b);
  EXPECT_EQ(huld_dev_data_find(&dev, 2), b);  // the first with the key
  EXPECT_EQ(huld_dev_data_find(&dev, 9), nullptr);

  huld_dev_data_remove(&dev, 1);  // the head
  EXPECT_EQ(dev.data_list, b);
  EXPECT_EQ(b->previous, nullptr);
  EXPECT_EQ(Payload::frees, 1);
  huld_dev_data_remove(&dev, 9);  // absent: nothing
  huld_dev_data_remove(&dev, 2);
  EXPECT_EQ(dev.data_list, c);
  huld_dev_data_cleanup(&dev);
  EXPECT_EQ(dev.data_list, nullptr);
  EXPECT_EQ(Payload::frees, 3);
}

// ---- related records ----------------------------------------------------------------------------

TEST(DevRelated, RulesInOrder) {
  huld_dev nevox{}, disk{};
  nevox.iface = MARVELL_NEVOX;
  strcpy(nevox.conn.path, "\\\\.\\PhysicalDrive1");
  strcpy(disk.conn.path, "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(huld_dev_is_related(&nevox, &disk), 1);
  strcpy(disk.conn.path, "\\\\.\\PhysicalDrive2");
  EXPECT_EQ(huld_dev_is_related(&nevox, &disk), 0);

  huld_dev hub{}, usb{};
  hub.iface = WINDOWS_USB_HUB;
  hub.usb_entry_count = 2;
  hub.usb_entries[1].vid = 0x1B1C;
  hub.usb_entries[1].pid = 0x0A3F;
  usb.conn.driver = INBOX_USB_MASS_STORAGE;  // not of the SCSI class: matched by ids
  strcpy(usb.instance_id, "USB\\VID_1B1C&PID_0A3F\\1234");
  EXPECT_EQ(huld_dev_is_related(&hub, &usb), 1);
  EXPECT_EQ(huld_dev_is_related(&usb, &hub), 1);
  strcpy(usb.instance_id, "USB\\VID_1B1C&PID_0A40\\1234");
  EXPECT_EQ(huld_dev_is_related(&hub, &usb), 0);
  strcpy(usb.instance_id, "PCI\\VEN_1B1C");
  EXPECT_EQ(huld_dev_usb_hub_has_vid_pid_of(&hub, &usb), 0);
  // Only a hub record's entries are asked.
  strcpy(usb.instance_id, "USB\\VID_1B1C&PID_0A3F\\1234");
  EXPECT_EQ(huld_dev_usb_hub_has_vid_pid_of(&hub, &usb), 1);
  huld_dev not_hub = hub;
  not_hub.iface = WINDOWS_SCSI;
  EXPECT_EQ(huld_dev_usb_hub_has_vid_pid_of(&not_hub, &usb), 0);

  huld_dev nvme{};
  nvme.iface = WINDOWS_NVME;
  nvme.bus_number = 4;
  hub.bus_number = 4;
  EXPECT_EQ(huld_dev_is_related(&hub, &nvme), 1);
  nvme.bus_number = 5;
  EXPECT_EQ(huld_dev_is_related(&hub, &nvme), 0);
  huld_dev other{};
  other.bus_number = 5;
  EXPECT_EQ(huld_dev_is_related(&other, &nvme), 0);  // neither is a hub
}

TEST_F(DevRecord, HubSerialCheckAnswersNoWhenTheDeviceCannotBeAsked) {
  huld_dev hub{};
  hub.iface = WINDOWS_USB_HUB;
  hub.usb_entry_count = 1;
  strcpy(hub.usb_entries[0].serial, "4142");
  huld_dev usb = disk_record();
  usb.iface = WINDOWS_SCSI;
  usb.conn.driver = INBOX_UAS_MASS_STORAGE;
  EXPECT_EQ(huld_dev_is_related(&hub, &usb), 0);  // the device answers no request
  EXPECT_EQ(huld_dev_is_open(&usb), 0);           // the caller's record is left as it was
  strcpy(usb.conn.path, "\\\\.\\PhysicalDrive55");
  EXPECT_EQ(huld_dev_usb_hub_has_serial_of(&hub, &usb), 0);
}

}  // namespace

// ---- log lines ----------------------------------------------------------------------------------

namespace {

std::string g_log;
int capture(const char *text) {
  g_log += text;
  return 0;
}

class DevLog : public DevRecord {
 protected:
  void SetUp() override {
    DevRecord::SetUp();
    static bool added = false;
    if (!added) huld_log_add_sink(capture);
    added = true;
    g_log.clear();
    huld_log_level = HULD_LOG_DEBUG;
  }
  void TearDown() override {
    huld_log_level = 0;
    DevRecord::TearDown();
  }
};

TEST_F(DevLog, ProbeAndClassLines) {
  huld_error err{};
  huld_dev dev = disk_record();
  dev.iface = WINDOWS_AMD_RAID_ATA;
  g_log.clear();
  EXPECT_EQ(huld_dev_probe_flags(&err, &dev, 1), 0);
  EXPECT_EQ(g_log, "probe device disk7 (flags: 1h)\ndeteced WINDOWS_AMD_RAID_ATA\n");

  g_log.clear();
  dev.conn.type = CONN_DISK;
  EXPECT_EQ(huld_dev_is_ata(&dev), 1);
  EXPECT_EQ(g_log, "disk7: Interface 28    Connection 2\n");

  g_log.clear();
  EXPECT_EQ(huld_dev_copy(nullptr, nullptr), 1);
  EXPECT_EQ(g_log.rfind("invalid dest (", 0), 0u);
  EXPECT_NE(g_log.find(") pointer for device copy\n"), std::string::npos);
  huld_dev_cleanup(&dev);
}

}  // namespace
