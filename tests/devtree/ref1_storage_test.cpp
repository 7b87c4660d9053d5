// REF-1's storage seen from outside: every disk interface of the device tree opens the disk whose
// physical-drive number and SCSI address the reference machine gives, and a drive reached through
// two paths (a SCSI twin) keeps one identity.
#include <cstring>

#include "devtree_fixture.h"
#include "sim/storage.h"
#include "sim/storage/driver.h"

namespace {

class Ref1Storage : public devtreetest::Ref1 {
 protected:
  // DeviceNumber and "port:path,target,lun" (or "none") of the disk behind a path.
  std::pair<DWORD, std::string> disk(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
    uint8_t number[12] = {}, address[8] = {};
    DWORD got = 0;
    EXPECT_TRUE(DeviceIoControl(h, sim::ioctl::kStorageGetDeviceNumber, nullptr, 0, number, sizeof number, &got, nullptr));
    std::string where = "none";
    if (DeviceIoControl(h, sim::ioctl::kScsiGetAddress, nullptr, 0, address, sizeof address, &got, nullptr))
      where = std::to_string(address[4]) + ":" + std::to_string(address[5]) + "," + std::to_string(address[6]) + "," +
              std::to_string(address[7]);
    CloseHandle(h);
    DWORD n = 0;
    std::memcpy(&n, number + 4, 4);
    return {n, where};
  }
};

TEST_F(Ref1Storage, DiskInterfacesReachTheirDisksAtTheirAddresses) {
  const std::map<std::string, std::pair<DWORD, std::string>> expected = {
      {"A", {0, "0:0,0,0"}},   {"B", {1, "2:0,0,0"}},    {"C", {2, "4:0,0,0"}},   {"D", {4, "5:0,0,0"}},
      {"E", {7, "5:1,0,0"}},   {"V", {8, "5:2,0,0"}},    {"X", {3, "6:0,0,0"}},   {"W", {12, "5:3,0,0"}},
      {"Y", {5, "7:0,0,0"}},   {"F", {9, "8:0,0,0"}},    {"G", {10, "9:0,0,0"}},  {"R", {11, "10:0,0,0"}},
      {"T", {15, "10:0,1,0"}}, {"S2", {14, "11:0,0,0"}}, {"S1", {13, "11:0,1,0"}}, {"RAM", {18, "none"}}};
  const auto walk = interface_walk(GUID_DEVINTERFACE_DISK);
  ASSERT_EQ(walk.size(), expected.size());
  for (const auto &[name, path] : walk) {
    ASSERT_TRUE(expected.count(name)) << name;
    EXPECT_EQ(disk(path), expected.at(name)) << name;
  }
  // The pool member has no interface but is reachable by its number and PDO.
  EXPECT_EQ(disk("\\\\.\\PhysicalDrive6"), std::make_pair(DWORD{6}, std::string("0:0,1,0")));
  EXPECT_EQ(disk("\\\\.\\GLOBALROOT\\Device\\00000032").first, 6u);
}

TEST_F(Ref1Storage, ScsiTwinShowsItsDrivesIdentity) {
  HANDLE h = CreateFileA("\\\\.\\PhysicalDrive15", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // SCSI_PASS_THROUGH (x64 layout) with INQUIRY VPD 80h; the data follow the 56-byte header and
  // 32 bytes of sense.
  std::vector<uint8_t> req(56 + 32 + 64, 0);
  req[0] = 56;  // Length
  req[6] = 6;   // CdbLength
  req[7] = 32;  // SenseInfoLength
  req[8] = 1;   // SCSI_IOCTL_DATA_IN
  const uint32_t len = 64, data_off = 88, sense_off = 56, timeout = 2;
  std::memcpy(&req[12], &len, 4);
  std::memcpy(&req[16], &timeout, 4);
  const uint64_t off = data_off;
  std::memcpy(&req[24], &off, 8);
  std::memcpy(&req[32], &sense_off, 4);
  const uint8_t cdb[6] = {0x12, 0x01, 0x80, 0x00, 64, 0x00};
  std::memcpy(&req[36], cdb, 6);
  DWORD got = 0;
  ASSERT_TRUE(DeviceIoControl(h, sim::ioctl::kScsiPassThrough, req.data(), static_cast<DWORD>(req.size()), req.data(),
                              static_cast<DWORD>(req.size()), &got, nullptr));
  CloseHandle(h);
  EXPECT_EQ(req[2], 0);  // ScsiStatus
  const std::string serial(reinterpret_cast<const char *>(&req[data_off + 4]), req[data_off + 3]);
  EXPECT_EQ(serial.substr(0, 6), "S60019");
  const sim::StorageDriveModels r6 = sim::storage_drive("R6");
  ASSERT_TRUE(r6.nvme);
  for (const sim::StorageDiskInfo &d : sim::storage_disks())
    if (d.id == "T") { EXPECT_EQ(d.drive, "R6"); }
}

}  // namespace
