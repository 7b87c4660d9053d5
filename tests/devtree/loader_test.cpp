// Machine descriptions with a device tree: what the loader refuses (and the place each error
// names), and that every shipped machine shows its disks to SetupAPI.
#include <dirent.h>

#include "devtree_fixture.h"
#include "sim/storage.h"

namespace {

std::string load_error(const std::string &text) {
  try {
    sim::load_machine_json(text);
  } catch (const std::exception &e) {
    return e.what();
  }
  return "";
}

TEST(DeviceTreeLoader, RefusesBadDescriptionsNamingThePlace) {
  const std::string node = R"({"instance_id": "ROOT\\SIM\\0000", "class": "System")";
  const std::string storage_head = R"("storage": {"adapters": [{"id": "a", "personality": "inbox_nvme")";
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {R"({"storgae": {}})", "storgae: unknown section"},
      {R"({"storage": {"adaptors": []}})", "storage: unknown field \"adaptors\""},
      {R"({"devices": [)" + node + R"(, "colour": 1}]})", "devices[0]: unknown field \"colour\""},
      {R"({"devices": [{"instance_id": "X\\Y\\1", "class": "System"}, {"instance_id": "x\\y\\1", "class": "USB"}]})",
       "devices[1].instance_id: duplicate instance id \"x\\y\\1\""},
      {R"({"devices": [{"id": "n", "instance_id": "X\\Y\\1", "class": "System"}, {"id": "n", "instance_id": "X\\Y\\2", "class": "System"}]})",
       "devices[1].id: duplicate id \"n\""},
      {R"({"devices": [{"instance_id": "X\\Y\\1", "class": "System", "pdo": "\\Device\\1"}, {"instance_id": "X\\Y\\2", "class": "System", "pdo": "\\device\\1"}]})",
       "devices[1].pdo: duplicate PDO"},
      {R"({"devices": [{"instance_id": "X\\Y\\1", "class": "System", "interfaces": [{"class": "disk"}]},
                       {"instance_id": "X\\Y\\2", "class": "System", "interfaces": [{"class": "ses"}, {"class": "disk", "path": "\\\\?\\X#Y#1#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}"}]}]})",
       "devices[1].interfaces[1].path: duplicate path"},
      {R"({"devices": [{"instance_id": "X\\Y\\1", "class": "System", "parent": "X\\Y\\2"}, {"instance_id": "X\\Y\\2", "class": "System"}]})",
       "devices[0].parent: no earlier node \"X\\Y\\2\""},
      {R"({"devices": [{"instance_id": "X\\Y\\1", "class": "Printer"}]})", "devices[0].class: unknown class"},
      {R"({"devices": [)" + node + R"(, "properties": {"Colour": 3}}]})", "devices[0].properties.Colour: unknown property key"},
      {R"({"devices": [)" + node + R"(, "properties": {"BusNumber": "three"}}]})", "devices[0].properties.BusNumber: \"three\" is not a number"},
      {R"({"devices": [)" + node + R"(, "driver": [{"name": "DriverDesc", "type": "REG_TEXT"}]}]})", "devices[0].driver[0].type: unknown value type"},
      {R"({"devices": [)" + node + R"(, "interfaces": [{"class": "usb_hub"}], "hub": {"ports": 4, "connections": [{"port": 9}]}}]})",
       "devices[0].hub.connections[0].port: port 9 is not in 1..4"},
      {R"({"devices": [)" + node + R"(, "hub": {"ports": 2, "connections": [{"port": 1, "node": "ROOT\\SIM\\0000"}, {"port": 2, "node": "root\\sim\\0000"}]}}]})",
       "devices[0].hub.connections[1].node: node \"root\\sim\\0000\" is on another port already"},
      {"{" + storage_head + R"(, "node": "nope"}]}})", "storage.adapters[0].node: no device node \"nope\""},
      {"{" + storage_head + R"(, "nod": "x"}]}})", "storage.adapters[0]: unknown field \"nod\""},
      {R"({"devices": [)" + node + R"(, "interfaces": [{"class": "storage_port", "path": "PORT-P"}]}],)" + storage_head +
           R"(, "interface_path": "port-p"}]}})",
       "storage.adapters[0].interface_path: duplicate path"},
      {R"({"devices": [)" + node + "}]," + storage_head + R"(, "instance_id": "root\\sim\\0000"}]}})",
       "storage.adapters[0].instance_id: duplicate instance id"},
      {R"({"devices": [)" + node + "}]," + storage_head + R"(}], "disks": [{"adapter": "a", "node": "ROOT\\SIM\\0000", "interface": false, "nvme": {}}]}})",
       "storage.disks[0].interface: given by the device node"},
      {R"({"devices": [)" + node + "}]," + storage_head + R"(, "node": "ROOT\\SIM\\0000", "driver_desc": "x"}]}})",
       "storage.adapters[0].driver_desc: given by the device node"},
      {"{" + storage_head + R"(}], "disks": [{"id": "d", "adapter": "a", "pdo": "\\Device\\7", "nvme": {}}, {"id": "e", "adapter": "a", "pdo": "\\Device\\7", "nvme": {}}]}})",
       "storage.disks[1].pdo: duplicate PDO \"\\Device\\7\""},
      // The first disk's PDO is made up; the second writes the same one.
      {"{" + storage_head + R"(}], "disks": [{"id": "d", "adapter": "a", "nvme": {}}, {"id": "e", "adapter": "a", "address": {"target_id": 1}, "pdo": "\\Device\\00000031", "nvme": {}}]}})",
       "storage.disks[0]: the PDO made for it (it gives no \"pdo\"), \"\\Device\\00000031\", is the one disks[1].pdo gives"},
      {"{" + storage_head + R"(}], "disks": [{"id": "d", "adapter": "a", "nvme": {}}, {"id": "d", "adapter": "a", "address": {"target_id": 1}, "nvme": {}}]}})",
       "storage.disks[1].id: \"d\" used twice"},
  };
  for (const Case &c : cases) {
    const std::string err = load_error(c.text);
    EXPECT_NE(err.find(c.expected), std::string::npos) << "expected: " << c.expected << "\n     got: " << err;
    EXPECT_EQ(sim::device_nodes().size(), 1u) << "a refused description leaves the root alone";
  }
  sim::use_default_machine();
}

// Every shipped machine loads, and its storage disks are the disk-drive class SetupAPI walks.
TEST(DeviceTreeLoader, ShippedMachinesShowTheirDisks) {
  DIR *dir = opendir(MACHINES_DIR);
  ASSERT_NE(dir, nullptr);
  int machines = 0;
  while (dirent *e = readdir(dir)) {
    const std::string file = e->d_name;
    if (file.size() < 5 || file.substr(file.size() - 5) != ".json" || file == "ref1.json") continue;
    SCOPED_TRACE(file);
    ASSERT_NO_THROW(sim::load_machine_file(std::string(MACHINES_DIR) + "/" + file));
    ++machines;
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_DISKDRIVE, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    size_t disks = 0;
    while (SetupDiEnumDeviceInfo(set, static_cast<DWORD>(disks), &info)) ++disks;
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(disks, sim::storage_disks().size());
    for (const sim::StorageDiskInfo &d : sim::storage_disks()) {
      if (d.interface_path.empty()) continue;
      HANDLE h = CreateFileA(d.interface_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
      EXPECT_NE(h, INVALID_HANDLE_VALUE) << d.interface_path;
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  closedir(dir);
  EXPECT_GE(machines, 5);
  sim::use_default_machine();
}

}  // namespace
