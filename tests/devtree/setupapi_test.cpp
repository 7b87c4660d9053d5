// REF-1 through SetupAPI and the configuration manager: walk orders, phantoms, the PCI
// enumerator set, properties, driver keys, status and parents, faults and set accounting.
#include <cstring>

#include "devtree_fixture.h"
#include "tests/support/resource_check.h"

namespace {

using devtreetest::api_fault;
using Strings = std::vector<std::string>;

class Ref1SetupApi : public devtreetest::Ref1 {
 protected:
  // A property read into a buffer of `size` bytes: the result, last error, type and size.
  struct Read {
    BOOL ok;
    DWORD error;
    DEVPROPTYPE type;
    DWORD required;
    std::vector<uint8_t> data;
  };
  Read property(const std::string &id, const DEVPROPKEY &key, DWORD size = 1024) {
    SP_DEVINFO_DATA info{};
    HDEVINFO set = open_one(id, &info);
    Read r{};
    r.data.assign(size, 0xCC);
    r.ok = SetupDiGetDevicePropertyW(set, &info, &key, &r.type, r.data.data(), size, &r.required, 0);
    r.error = r.ok ? 0 : GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return r;
  }
  // UTF-16 strings of a STRING or STRING_LIST property, narrowed.
  static Strings strings(const Read &r) {
    Strings out(1);
    for (size_t i = 0; i + 1 < r.required; i += 2) {
      if (r.data[i] == 0 && r.data[i + 1] == 0) {
        if (out.back().empty()) break;
        out.emplace_back();
      } else {
        out.back() += static_cast<char>(r.data[i]);
      }
    }
    if (out.back().empty()) out.pop_back();
    return out;
  }
  // The values of a devnode's driver key, walked with 1024-byte name and data buffers: "name=data"
  // for strings, "name:MORE_DATA" when the data does not fit, "name#type/size" otherwise.
  Strings driver_key(const std::string &id) {
    SP_DEVINFO_DATA info{};
    HDEVINFO set = open_one(id, &info);
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    open_error_ = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) return {"none"};
    Strings out;
    for (DWORD i = 0;; ++i) {
      char name[1024];
      BYTE data[1024];
      DWORD name_len = sizeof name, data_len = sizeof data, type = 0;
      LSTATUS st = RegEnumValueA(key, i, name, &name_len, nullptr, &type, data, &data_len);
      if (st == ERROR_NO_MORE_ITEMS) break;
      if (st == ERROR_MORE_DATA) {
        out.push_back(std::string(name) + ":MORE_DATA");
      } else if (type == REG_SZ) {
        out.push_back(std::string(name) + "=" + std::string(reinterpret_cast<char *>(data), data_len));
      } else {
        out.push_back(std::string(name) + "#" + std::to_string(type) + "/" + std::to_string(data_len));
      }
    }
    RegCloseKey(key);
    return out;
  }
  DWORD open_error_ = 0;
};

TEST_F(Ref1SetupApi, WalksFollowCreationOrderOfPresentDevnodes) {
  EXPECT_EQ(names(interface_walk(GUID_DEVINTERFACE_DISK)),
            (Strings{"A", "B", "C", "D", "E", "V", "X", "W", "Y", "F", "G", "R", "T", "S2", "S1", "RAM"}));
  EXPECT_EQ(class_walk(GUID_DEVCLASS_DISKDRIVE),
            (Strings{"A", "P", "B", "C", "D", "E", "V", "X", "W", "Y", "F", "G", "R", "T", "S2", "S1", "RAM"}));
  EXPECT_EQ(class_walk(GUID_DEVCLASS_HDC), (Strings{"AHCI-1", "AHCI-2"}));
  const Strings adapters{"NVMe-B", "NVMe-Z", "MK", "RST", "NevoX", "Spaces", "UAS", "RSTe", "SAS"};
  EXPECT_EQ(class_walk(GUID_DEVCLASS_SCSIADAPTER), adapters);
  Strings ports{"AHCI-1", "AHCI-2"};
  ports.insert(ports.end(), adapters.begin(), adapters.end());
  const auto port_walk = interface_walk(GUID_DEVINTERFACE_STORAGEPORT);
  EXPECT_EQ(names(port_walk), ports);
  EXPECT_EQ(names(interface_walk(GUID_DEVINTERFACE_USB_HUB)),
            (Strings{"R1", "H1", "H2", "H3", "H4", "H5", "H6", "H7", "H8", "R2"}));
  EXPECT_EQ(names(interface_walk(GUID_DEVINTERFACE_SES)), (Strings{"ENCL"}));
  EXPECT_EQ(class_walk(GUID_DEVCLASS_CAMERA), (Strings{"CAM-A", "CAM-B", "CAM-C", "CAM-D", "CAM-E"}));
  const auto capture = interface_walk(*sim::parse_guid("{65e8773d-8f56-11d0-a3b9-00a0c9223196}"));
  EXPECT_EQ(names(capture), (Strings{"CAM-A", "CAM-B", "CAM-C", "CAM-E"})) << "D has no device path";
  EXPECT_EQ(capture[0].second, "\\\\?\\usb#vid_aab7&pid_0001&mi_00#8&1a2b3c41&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");

  // Paths are lower case except MK's, and name the objects the storage stack answers on.
  EXPECT_EQ(port_walk[0].second, "\\\\?\\pci#ven_aaa1&dev_0001&subsys_00000000&rev_00#3&2411e6fe&0&b8#{2accfe60-c130-11d2-b082-00a0c91efb8b}");
  EXPECT_EQ(port_walk[4].second, "\\\\?\\PCI#VEN_ABCD&DEV_0200&SUBSYS_00000000&REV_00#5&1234ABCD&0&0000#{2ACCFE60-C130-11D2-B082-00A0C91EFB8B}");
  for (const auto &[name, path] : interface_walk(GUID_DEVINTERFACE_DISK)) {
    if (name != "A" && name != "B" && name != "Y" && name != "F") continue;  // disks with a driver today
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  HANDLE p = CreateFileA("\\\\.\\GLOBALROOT\\Device\\00000032", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(p, INVALID_HANDLE_VALUE) << "P has no interface but its PDO opens";
  if (p != INVALID_HANDLE_VALUE) CloseHandle(p);
}

TEST_F(Ref1SetupApi, PhantomsAndTheEnumeratorSet) {
  // Without DIGCF_PRESENT the phantom is in the class set (after P); its interface is never listed.
  const Strings all = class_walk(GUID_DEVCLASS_DISKDRIVE, 0);
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all[2], "G-PHANTOM");
  DEVINST dn = 0;
  const std::string phantom = instance("G-PHANTOM");
  EXPECT_EQ(CM_Locate_DevNodeA(&dn, const_cast<char *>(phantom.c_str()), CM_LOCATE_DEVNODE_NORMAL),
            static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  ASSERT_EQ(CM_Locate_DevNodeA(&dn, const_cast<char *>(phantom.c_str()), CM_LOCATE_DEVNODE_PHANTOM),
            static_cast<CONFIGRET>(CR_SUCCESS));
  ULONG status = 1, problem = 1;
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, dn, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST));

  // Enumerator "PCI": every devnode whose id begins "PCI\", present or not, in creation order.
  const Strings pci = class_walk(GUID_DEVCLASS_SYSTEM, DIGCF_ALLCLASSES | DIGCF_PRESENT, "PCI");
  EXPECT_EQ(pci.size(), 18u);
  EXPECT_EQ(pci.front(), "AHCI-1");
  EXPECT_EQ(pci.back(), "EHCI");
  for (const std::string &n : pci) EXPECT_EQ(instance(n).rfind("PCI\\", 0), 0u) << n;
  EXPECT_EQ(class_walk(GUID_DEVCLASS_SYSTEM, DIGCF_ALLCLASSES, "PCI"), pci);
}

TEST_F(Ref1SetupApi, ConfigurationManagerWalksToTheRoot) {
  DEVINST dn = 0;
  const std::string a = instance("A");
  std::string lower_a = a;
  for (char &c : lower_a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_EQ(CM_Locate_DevNodeA(&dn, lower_a.data(), 0), static_cast<CONFIGRET>(CR_SUCCESS)) << "ids compare without case";
  Strings chain{name_of(dn)};
  for (DEVINST parent = 0; CM_Get_Parent(&parent, dn, 0) == CR_SUCCESS; dn = parent) chain.push_back(name_of(parent));
  EXPECT_EQ(chain, (Strings{"A", "AHCI-1", "ACPI-ROOT", "HTREE\\ROOT\\0"}));
  DEVINST none = 7;
  EXPECT_EQ(CM_Get_Parent(&none, dn, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  EXPECT_EQ(none, 0u);

  ASSERT_EQ(CM_Locate_DevNodeA(&dn, const_cast<char *>(a.c_str()), 0), static_cast<CONFIGRET>(CR_SUCCESS));
  std::vector<char> id(a.size() + 1, 'x');
  EXPECT_EQ(CM_Get_Device_IDA(dn, id.data(), static_cast<ULONG>(a.size()), 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  ASSERT_EQ(CM_Get_Device_IDA(dn, id.data(), static_cast<ULONG>(id.size()), 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_STREQ(id.data(), a.c_str()) << "case kept";
  ULONG status = 0, problem = 9;
  ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, dn, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(status & (DN_STARTED | DN_HAS_PROBLEM), static_cast<ULONG>(DN_STARTED));
  EXPECT_EQ(problem, 0u);
}

TEST_F(Ref1SetupApi, PropertiesDerivedAndGiven) {
  Read r = property("NVMe-B", DEVPKEY_Device_BusNumber);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_UINT32));
  EXPECT_EQ(r.required, 4u);
  EXPECT_EQ(r.data[0], 3);
  r = property("Spaces", DEVPKEY_Device_PowerRelations, 512);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING_LIST));
  EXPECT_EQ(strings(r), (Strings{"SCSI\\DISK&VEN_&PROD_SIM_SATA_P\\4&1D9BC2E7&0&010000",
                                 "SCSI\\DISK&VEN_&PROD_SIM_SATA_Q\\4&1D9BC2E7&0&030000"}));
  r = property("A", DEVPKEY_Device_Parent);
  EXPECT_EQ(strings(r), Strings{instance("AHCI-1")});
  EXPECT_EQ(strings(property("A", DEVPKEY_Device_PDOName)), Strings{"\\Device\\00000031"});
  EXPECT_EQ(strings(property("MK", DEVPKEY_Device_DriverDesc)), Strings{"XR Brambleon SN Sim NVMe Controller"});
  EXPECT_EQ(strings(property("AHCI-2", DEVPKEY_Device_Class)), Strings{"hdc"});
  r = property("RAM-ADAPTER", DEVPKEY_Device_DriverDesc);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NOT_FOUND));

  // Too small a buffer: the size and type, nothing copied.
  r = property("A", DEVPKEY_Device_InstanceId, 20);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(r.required, 2 * (instance("A").size() + 1));
  EXPECT_EQ(r.data[0], 0xCC);

  SP_DEVINFO_DATA info{};
  HDEVINFO set = open_one("F", &info);
  DWORD type = 0, caps = 0, need = 0;
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_CAPABILITIES, &type, reinterpret_cast<BYTE *>(&caps),
                                                sizeof caps, &need));
  EXPECT_EQ(caps, static_cast<DWORD>(CM_DEVCAP_REMOVABLE | CM_DEVCAP_SURPRISEREMOVALOK));
  SetupDiDestroyDeviceInfoList(set);

  // The root has neither class nor parent.
  set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(set, "htree\\root\\0", nullptr, 0, &info));
  DEVPROPTYPE t = 0;
  BYTE buf[64];
  EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_Class, &t, buf, sizeof buf, &need, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_FALSE(SetupDiOpenDeviceInfoA(set, "PCI\\VEN_0000\\0", nullptr, 0, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Ref1SetupApi, DriverKeysInStoredOrder) {
  EXPECT_EQ(driver_key("AHCI-1"),
            (Strings{std::string("DriverDesc=Standard SATA AHCI Controller") + '\0', std::string("ProviderName=Microsoft") + '\0',
                     std::string("DriverVersion=10.0.19041.1202") + '\0'}));
  const Strings nvme = driver_key("NevoX");
  ASSERT_EQ(nvme.size(), 4u);
  EXPECT_EQ(nvme[1], "DriverDateData#3/8");
  EXPECT_EQ(nvme[3], std::string("DriverDesc=Standard NVM Express Controller") + '\0');
  EXPECT_EQ(driver_key("MK"), (Strings{std::string("InfPath=oem42.inf") + '\0', "MatchingDeviceId:MORE_DATA",
                                       std::string("DriverDesc=XR Brambleon SN Sim NVMe Controller") + '\0'}));
  EXPECT_EQ(driver_key("Spaces"), (Strings{"ProviderName=Microsoft", std::string("DriverDesc=Microsoft Storage Spaces Controller") + '\0'}))
      << "ProviderName without its NUL";
  EXPECT_EQ(driver_key("RAM-ADAPTER").size(), 2u);
  EXPECT_EQ(driver_key("ACPI-ROOT"), Strings{"none"});
  EXPECT_EQ(open_error_, static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));
}

TEST_F(Ref1SetupApi, InterfaceDetailChecksItsCaller) {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVICE_INTERFACE_DATA d{};
  d.cbSize = sizeof d;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &d));
  EXPECT_EQ(d.Flags, static_cast<DWORD>(SPINT_ACTIVE));
  DWORD need = 0;
  SetupDiGetDeviceInterfaceDetailA(set, &d, nullptr, 0, &need, nullptr);
  const std::string path = interface_walk(GUID_DEVINTERFACE_DISK)[0].second;
  EXPECT_EQ(need, 4 + path.size() + 1);
  std::vector<char> buf(need);
  auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buf.data());
  detail->cbSize = need;  // the whole size instead of the structure's: refused
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &d, detail, need, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  detail->cbSize = 8;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &d, detail, need - 1, &need, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &d, detail, need, nullptr, nullptr));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 16, &d));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Ref1SetupApi, FaultRulesFailTheCalls) {
  using sim::FaultAction;
  const std::string disk_guid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
  // Class or interface set.
  api_fault("setupapi", "SetupDiGetClassDevsA", FaultAction::fail_with(ERROR_GEN_FAILURE), {{"guid", disk_guid}});
  EXPECT_EQ(SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(class_walk(GUID_DEVCLASS_HDC).size(), 2u) << "other sets still open";
  sim::clear_faults();

  // Detail: reported size 0, then above 1024, then the call fails for one disk only.
  api_fault("setupapi", "SetupDiGetDeviceInterfaceDetailA", FaultAction::custom_action("required_size", 0),
            {{"instance_id", instance("B")}});
  api_fault("setupapi", "SetupDiGetDeviceInterfaceDetailA", FaultAction::custom_action("required_size", 2000),
            {{"instance_id", instance("C")}});
  api_fault("setupapi", "SetupDiGetDeviceInterfaceDetailA", FaultAction::fail_with(ERROR_INVALID_DATA),
            {{"instance_id", instance("D")}});
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  std::vector<DWORD> sizes, errors;
  for (DWORD i = 1; i <= 3; ++i) {
    SP_DEVICE_INTERFACE_DATA d{};
    d.cbSize = sizeof d;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, i, &d));
    DWORD need = 12345;
    SetupDiGetDeviceInterfaceDetailA(set, &d, nullptr, 0, &need, nullptr);
    sizes.push_back(need);
    errors.push_back(GetLastError());
  }
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_EQ(sizes[0], 0u);
  EXPECT_EQ(sizes[1], 2000u);
  EXPECT_EQ(errors, (std::vector<DWORD>{ERROR_INSUFFICIENT_BUFFER, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_DATA}));
  sim::clear_faults();

  // Properties: missing, too large.
  api_fault("setupapi", "SetupDiGetDevicePropertyW", FaultAction::fail_with(ERROR_NOT_FOUND),
            {{"instance_id", instance("NVMe-B")}, {"property", "BusNumber"}});
  api_fault("setupapi", "SetupDiGetDevicePropertyW", FaultAction::fail_with(ERROR_INSUFFICIENT_BUFFER),
            {{"property", "PowerRelations"}});
  EXPECT_EQ(property("NVMe-B", DEVPKEY_Device_BusNumber).error, static_cast<DWORD>(ERROR_NOT_FOUND));
  EXPECT_TRUE(property("NVMe-B", DEVPKEY_Device_DriverDesc).ok);
  Read r = property("Spaces", DEVPKEY_Device_PowerRelations, 512);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(r.required, 512u);
  sim::clear_faults();

  // Configuration manager: status, parent, id; the driver key.
  DEVINST dn = 0;
  ASSERT_EQ(CM_Locate_DevNodeA(&dn, const_cast<char *>(instance("B").c_str()), 0), static_cast<CONFIGRET>(CR_SUCCESS));
  api_fault("cfgmgr", "CM_Get_DevNode_Status", FaultAction::fail_with(CR_NO_SUCH_DEVINST));
  api_fault("cfgmgr", "CM_Get_Parent", FaultAction::fail_with(CR_NO_SUCH_DEVNODE), {{"instance_id", instance("B")}});
  api_fault("cfgmgr", "CM_Get_Device_IDA", FaultAction::fail_with(CR_BUFFER_SMALL));
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, dn, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST));
  DEVINST parent = 0;
  EXPECT_EQ(CM_Get_Parent(&parent, dn, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  char id[MAX_DEVICE_ID_LEN];
  EXPECT_EQ(CM_Get_Device_IDA(dn, id, sizeof id, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  sim::clear_faults();
  api_fault("setupapi", "SetupDiOpenDevRegKey", FaultAction::fail_with(ERROR_FILE_NOT_FOUND), {{"instance_id", instance("AHCI-1")}});
  EXPECT_EQ(driver_key("AHCI-1"), Strings{"none"});
  EXPECT_EQ(open_error_, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Ref1SetupApi, LeakedSetsShowInTheResourceSnapshot) {
  sim::expect_resource_change("devinfo_bad_destroys");  // the set is destroyed twice below
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_HDC, nullptr, nullptr, DIGCF_PRESENT);
  EXPECT_EQ(sim::ResourceSnapshot::take().changes_since(before_), "devinfo_sets: 0 -> 1\n");
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(sim::ResourceSnapshot::take().changes_since(before_), "devinfo_bad_destroys: 0 -> 1\n");
  before_ = sim::ResourceSnapshot::take();  // the bad destroy was on purpose
}

// Problem codes, a 200-character id and a property larger than the caller's buffer.
TEST(DeviceTreeStatus, ProblemsLongIdsAndOversizedProperties) {
  const std::string long_id = "ROOT\\SIM\\" + std::string(191, '7');  // 200 characters
  sim::load_machine_json(R"({"devices": [
      {"instance_id": "ROOT\\BROKEN\\0000", "class": "System", "problem": 22,
       "properties": {"PowerRelations": {"value": ["SCSI\\DISK\\1"], "size": 600}, "InstanceId": null}},
      {"instance_id": ")" + std::string("ROOT\\\\SIM\\\\") + std::string(191, '7') + R"(", "class": "System"}]})");
  const sim::ResourceSnapshot before = sim::ResourceSnapshot::take();
  DEVINST dn = 0;
  ASSERT_EQ(CM_Locate_DevNodeA(&dn, const_cast<char *>("root\\broken\\0000"), 0), static_cast<CONFIGRET>(CR_SUCCESS));
  ULONG status = 0, problem = 0;
  ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, dn, 0), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_DISABLED));
  EXPECT_EQ(status & (DN_STARTED | DN_HAS_PROBLEM), static_cast<ULONG>(DN_HAS_PROBLEM));

  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  ASSERT_TRUE(SetupDiOpenDeviceInfoA(set, "ROOT\\BROKEN\\0000", nullptr, 0, &info));
  DEVPROPTYPE type = 0;
  DWORD need = 0;
  std::vector<BYTE> buf(512);
  EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_PowerRelations, &type, buf.data(), 512, &need, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(need, 600u);
  EXPECT_FALSE(SetupDiGetDevicePropertyW(set, &info, &DEVPKEY_Device_InstanceId, &type, buf.data(), 512, &need, 0))
      << "a derived property the description removes";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  SetupDiDestroyDeviceInfoList(set);

  ASSERT_EQ(CM_Locate_DevNodeA(&dn, const_cast<char *>(long_id.c_str()), 0), static_cast<CONFIGRET>(CR_SUCCESS));
  char id[MAX_DEVICE_ID_LEN];
  EXPECT_EQ(CM_Get_Device_IDA(dn, id, sizeof id, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
  EXPECT_EQ(sim::ResourceSnapshot::take().changes_since(before), "");
  sim::use_default_machine();
}

}  // namespace
