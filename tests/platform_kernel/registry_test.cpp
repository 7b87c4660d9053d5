// Registry: keys from the machine description, stored value order, buffer rules, counting.
#include <cstring>
#include <string>

#include "kernel_fixture.h"

namespace {

const char *const kDriverKey =
    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97b-e325-11ce-bfc1-08002be10318}\\0001";

const char *const kMachine = R"({
  "name": "registry-test",
  "registry": [
    { "key": "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e97b-e325-11ce-bfc1-08002be10318}\\0001",
      "values": [
        { "name": "ProviderName", "type": "REG_SZ", "data": "Maker" },
        { "name": "DriverDesc", "type": "REG_SZ", "data": "Maker NVMe Controller", "nul": false },
        { "name": "DriverDateData", "type": "REG_BINARY", "data": "00 80 8c a3 c5 94 d6 01" },
        { "name": "Flags", "type": "REG_DWORD", "data": 305419896 },
        { "name": "Ids", "type": "REG_MULTI_SZ", "data": ["a", "bc"] } ] },
    { "key": "HKCR\\CLSID\\{11111111-2222-3333-4444-555555555555}" }
  ]
})";

class Registry : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    sim::load_machine_json(kMachine);
    before_ = sim::ResourceSnapshot::take();
  }
  HKEY open_driver_key() {
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "system\\currentcontrolset\\control\\class\\"
                            "{4D36E97B-E325-11CE-BFC1-08002BE10318}\\0001",
                            0, KEY_READ, &k),
              ERROR_SUCCESS);
    return k;
  }
};

TEST_F(Registry, ValuesAreEnumeratedInStoredOrder) {
  HKEY k = open_driver_key();
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(sim::registry_open_key_count(), before_["registry_keys"] + 1);
  const char *names[] = {"ProviderName", "DriverDesc", "DriverDateData", "Flags", "Ids"};
  const DWORD types[] = {REG_SZ, REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ};
  const DWORD sizes[] = {6, 21, 8, 4, 6};
  DWORD i = 0;
  for (;; ++i) {
    char name[1024];
    BYTE data[1024];
    DWORD name_len = sizeof name, data_len = sizeof data, type = 0;
    LSTATUS st = RegEnumValueA(k, i, name, &name_len, nullptr, &type, data, &data_len);
    if (st == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(st, ERROR_SUCCESS);
    ASSERT_LT(i, 5u);
    EXPECT_STREQ(name, names[i]);
    EXPECT_EQ(name_len, std::strlen(names[i]));
    EXPECT_EQ(type, types[i]);
    EXPECT_EQ(data_len, sizes[i]) << names[i];
    if (i == 1) {
      EXPECT_EQ(std::string(reinterpret_cast<char *>(data), data_len), "Maker NVMe Controller");
    }
    if (i == 3) {
      EXPECT_EQ(data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24, 0x12345678);
    }
    if (i == 4) {
      EXPECT_EQ(std::memcmp(data, "a\0bc\0\0", 6), 0);
    }
  }
  EXPECT_EQ(i, 5u);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(Registry, TooSmallBuffersAnswerMoreData) {
  HKEY k = open_driver_key();
  char name[6];  // "ProviderName" does not fit
  BYTE data[4];
  DWORD name_len = sizeof name, data_len = sizeof data;
  EXPECT_EQ(RegEnumValueA(k, 0, name, &name_len, nullptr, nullptr, data, &data_len), ERROR_MORE_DATA);

  char big_name[64];
  name_len = sizeof big_name;
  data_len = sizeof data;  // "Maker\0" is 6 bytes
  EXPECT_EQ(RegEnumValueA(k, 0, big_name, &name_len, nullptr, nullptr, data, &data_len), ERROR_MORE_DATA);
  EXPECT_EQ(data_len, 6u) << "the size needed";
  EXPECT_STREQ(big_name, "ProviderName");

  // Size query without a buffer.
  name_len = sizeof big_name;
  data_len = 0;
  EXPECT_EQ(RegEnumValueA(k, 1, big_name, &name_len, nullptr, nullptr, nullptr, &data_len), ERROR_SUCCESS);
  EXPECT_EQ(data_len, 21u);
  RegCloseKey(k);
}

TEST_F(Registry, QueryValueFollowsTheSameRules) {
  HKEY k = open_driver_key();
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExA(k, "driverdesc", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 21u);
  BYTE small[5];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(k, "DriverDesc", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 21u);
  DWORD flags = 0;
  size = sizeof flags;
  EXPECT_EQ(RegQueryValueExA(k, "Flags", nullptr, &type, reinterpret_cast<BYTE *>(&flags), &size), ERROR_SUCCESS);
  EXPECT_EQ(flags, 0x12345678u);
  EXPECT_EQ(RegQueryValueExA(k, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(k);
}

TEST_F(Registry, MissingKeysAndBadHandles) {
  HKEY k = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinPE", 0,
                          KEY_READ, &k),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(k, nullptr);
  EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x4444), "x", 0, KEY_READ, &k), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x4444)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(sim::registry_open_key_count(), before_["registry_keys"]);
}

TEST_F(Registry, ClassesRootKeysAndSubKeysOfOpenKeys) {
  HKEY clsid = nullptr, server = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, &clsid), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(clsid, "{11111111-2222-3333-4444-555555555555}", 0, KEY_READ, &server), ERROR_SUCCESS);
  EXPECT_EQ(sim::registry_open_key_count(), before_["registry_keys"] + 2);
  RegCloseKey(server);
  RegCloseKey(clsid);
  EXPECT_EQ(RegCloseKey(clsid), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, OtherPartsOpenKeysByPathAndTheyAreCounted) {
  HKEY k = sim::registry_open_path(kDriverKey);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(sim::ResourceSnapshot::take()["registry_keys"], before_["registry_keys"] + 1);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(k, "ProviderName", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(sim::registry_open_path("HKLM\\SOFTWARE\\Nothing"), nullptr);
}

TEST_F(Registry, ValuesAddedByTestsKeepTheirOrderAndReplaceInPlace) {
  const char *key = "HKLM\\SOFTWARE\\Test";
  sim::registry_set_value(key, sim::reg_sz("B", "one"));
  sim::registry_set_value(key, sim::reg_dword("A", 1));
  sim::registry_set_value(key, sim::reg_sz("b", "two", false));
  HKEY k = sim::registry_open_path(key);
  char name[16];
  BYTE data[16];
  DWORD nl = sizeof name, dl = sizeof data;
  ASSERT_EQ(RegEnumValueA(k, 0, name, &nl, nullptr, nullptr, data, &dl), ERROR_SUCCESS);
  EXPECT_STREQ(name, "b");
  EXPECT_EQ(dl, 3u);
  nl = sizeof name;
  dl = sizeof data;
  EXPECT_EQ(RegEnumValueA(k, 2, name, &nl, nullptr, nullptr, data, &dl), ERROR_NO_MORE_ITEMS);
  RegCloseKey(k);
}

}  // namespace
