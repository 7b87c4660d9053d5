// The WMI connection object against the simulated WMI service of the reference machine: the
// calls it makes, its rows, every failure path (no COM, connection steps, query, walk, property)
// and the VARIANT readers; and the service's answers to the WQL the library sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/com.h"
#include "vornwincom/WbemHelper.h"
#include "wmi_fixture.h"

namespace {

using sim::FaultCount;

class WbemHelperTest : public WmiTest {
 protected:
  int query(WbemHelper &h, const std::string &q, const WbemPropertyList &names) {
    rows_.clear();
    return h.get_properties(&err_, q, names, &rows_);
  }
  std::string text(size_t row, const std::string &name) {
    return variant_to_string(*wbem_row_value(rows_.at(row), name)).value_or("<null>");
  }
  WbemRows rows_;
};

TEST_F(WbemHelperTest, ConnectsOnceAndCopiesTheAskedPropertiesOfEachObject) {
  WbemHelper h;
  ASSERT_EQ(0, query(h, "SELECT * FROM Win32_DiskDrive where Index=1", {"SCSIBus", "pnpdeviceid"}));
  ASSERT_EQ(1u, rows_.size());
  EXPECT_EQ(0u, variant_to_u32(*wbem_row_value(rows_[0], "scsibus")).value());
  EXPECT_NE(std::string::npos, text(0, "PNPDeviceID").find("SCSI\\"));
  ASSERT_EQ(0, query(h, "SELECT * FROM Win32_DiskDrive where Index=99", {"SCSIBus"}));
  EXPECT_TRUE(rows_.empty());
  // An empty property list: one empty row per object.
  ASSERT_EQ(0, query(h, "SELECT * FROM Win32_PhysicalMemory", {}));
  EXPECT_EQ(2u, rows_.size());
  EXPECT_TRUE(rows_[0].empty());

  const std::vector<std::string> calls = sim::wmi_calls();
  EXPECT_EQ("ConnectServer ROOT\\CIMV2 flags=0", calls.at(0));
  EXPECT_EQ("ExecQuery WQL flags=30 SELECT * FROM Win32_DiskDrive where Index=1", calls.at(1));
  EXPECT_EQ("Next timeout=5000 count=1", calls.at(2));
  const auto blanket = sim::com_blanket_log();
  ASSERT_EQ(1u, blanket.size());
  EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_WINNT), blanket[0].authn_service);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_AUTHN_LEVEL_CALL), blanket[0].authn_level);
  EXPECT_EQ(static_cast<DWORD>(RPC_C_IMP_LEVEL_IMPERSONATE), blanket[0].imp_level);
}

TEST_F(WbemHelperTest, WithoutComTheFirstQueryFailsAndLaterOnesConnectAgain) {
  CoUninitialize();
  WbemHelper h;
  EXPECT_NE(std::string::npos, log().find("CoCreateInstance CLSID_WbemLocator failure: 800401f0h"));
  EXPECT_EQ(1, query(h, "SELECT * FROM Win32_BaseBoard", {"Product"}));
  EXPECT_EQ("code 1 subcode 0 file vornwincom\\WbemHelper function initialize_if_needed message Failed to "
            "initialize Wbem connection",
            error_line(err_));
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  EXPECT_EQ(0, query(h, "SELECT * FROM Win32_BaseBoard", {"Product"}));
  EXPECT_EQ("SIM-BOARD-1", text(0, "Product"));
}

TEST_F(WbemHelperTest, EachFailingConnectionStepLeavesNothingBehind) {
  struct Case {
    const char *api, *function, *logged;
  } cases[] = {{"wmi", "ConnectServer", "ConnectServer failure: 80041001h"},
               {"com", "CoSetProxyBlanket", "CoSetProxyBlanket failure: 80041001h"}};
  for (const Case &c : cases) {
    sim::clear_faults();
    log().clear();
    if (std::string(c.api) == "wmi") fault(c.function, FaultCount::always(), WBEM_E_FAILED);
    else com_fault(c.function, WBEM_E_FAILED);
    WbemHelper h;
    EXPECT_NE(std::string::npos, log().find(c.logged)) << c.function;
    EXPECT_EQ(1, query(h, "SELECT * FROM Win32_BaseBoard", {"Product"}));
    EXPECT_STREQ("Failed to initialize Wbem connection", err_.message);
  }
}

TEST_F(WbemHelperTest, QueryAndWalkFailuresNameTheQuery) {
  WbemHelper h;
  fault("ExecQuery", FaultCount::at(1), WBEM_E_FAILED);
  EXPECT_EQ(1, query(h, "SELECT * FROM Win32_Processor", {"Name"}));
  EXPECT_EQ("code 1 subcode 2147749889 file vornwincom\\WbemHelper function exec_query message Failed to execute "
            "query: SELECT * FROM Win32_Processor (80041001h)",
            error_line(err_));
  // An unknown class fails at the first Next: a failure, not an empty answer.
  EXPECT_EQ(1, query(h, "SELECT * FROM Win32_NoSuchClass", {"Name"}));
  EXPECT_STREQ("Failed to execute query: SELECT * FROM Win32_NoSuchClass (80041010h)", err_.message);
  // Next failing after one object: the row gathered stays.
  fault("Next", FaultCount::at(2), E_FAIL);
  EXPECT_EQ(1, query(h, "SELECT * FROM Win32_PhysicalMemory", {"ConfiguredClockSpeed"}));
  EXPECT_EQ(1u, rows_.size());
  EXPECT_EQ(static_cast<uint32_t>(E_FAIL), err_.subcode);
  // A time-out without an object is no end of the answer: the walk fails, the rows so far stay.
  fault("Next", FaultCount::at(2), 0, "timeout");
  EXPECT_EQ(1, query(h, "SELECT * FROM Win32_PhysicalMemory", {"ConfiguredClockSpeed"}));
  EXPECT_EQ(1u, rows_.size());
  EXPECT_EQ("code 1 subcode 262148 file vornwincom\\WbemHelper function get_properties message Failed to execute "
            "query: SELECT * FROM Win32_PhysicalMemory (40004h)",
            error_line(err_));
}

TEST_F(WbemHelperTest, AMissingPropertyFailsTheCallAndKeepsEarlierRows) {
  WbemHelper h;
  EXPECT_EQ(1, query(h, "SELECT * FROM Win32_Processor", {"Name", "Nope"}));
  EXPECT_EQ("code 1 subcode 2147749890 file vornwincom\\WbemHelper function get_properties_from_item message "
            "Failed to get Wbem property: Nope (80041002)",
            error_line(err_));
  EXPECT_TRUE(rows_.empty());
  fault("Get", FaultCount::at(2), WBEM_E_FAILED);
  EXPECT_EQ(1, query(h, "SELECT * FROM Win32_PhysicalMemory", {"ConfiguredClockSpeed"}));
  EXPECT_EQ(1u, rows_.size());
}

TEST_F(WbemHelperTest, TheServiceReadsTheLibrarysWql) {
  WbemHelper h;
  // A partial SELECT carries only its properties.
  ASSERT_EQ(0, query(h, "SELECT StartingOffset FROM Win32_DiskPartition WHERE DiskIndex=1", {"StartingOffset"}));
  ASSERT_EQ(1u, rows_.size());
  EXPECT_EQ("1048576", text(0, "StartingOffset"));
  EXPECT_EQ(1, query(h, "SELECT StartingOffset FROM Win32_DiskPartition WHERE DiskIndex=1", {"DiskIndex"}));
  // A quoted key with escaped backslashes, as the controller lookup sends it.
  ASSERT_EQ(0, query(h, "SELECT * FROM Win32_SCSIControllerDevice", {"Antecedent", "Dependent"}));
  ASSERT_FALSE(rows_.empty());
  const std::string antecedent = text(0, "Antecedent");
  const std::string key = antecedent.substr(antecedent.find('=') + 1);
  ASSERT_EQ(0, query(h, "Select * from Win32_PnPEntity where deviceId=" + key, {"Service", "PNPDeviceID"}));
  ASSERT_EQ(1u, rows_.size());
  EXPECT_EQ("storahci", text(0, "Service"));
  // OR of class GUIDs, and an association walked from the disk's side.
  ASSERT_EQ(0, query(h,
                     "SELECT DriverVersion, Description FROM Win32_PnPSignedDriver WHERE ClassGuid = "
                     "'{4d36e96a-e325-11ce-bfc1-08002be10318}' or ClassGuid = '{4d36e97b-e325-11ce-bfc1-08002be10318}'",
                     {"DriverVersion", "Description"}));
  EXPECT_GE(rows_.size(), 2u);
  const std::string disk = text(0, "Description");
  ASSERT_EQ(0, query(h,
                     "ASSOCIATORS OF {Win32_PnPEntity.DeviceID='SCSI\\\\DISK&VEN_NVME&PROD_SIM_NVME_B\\\\7&2C3D4E5F&0&"
                     "000000'} WHERE AssocClass=Win32_SCSIControllerDevice",
                     {"DeviceID"}));
  ASSERT_EQ(1u, rows_.size());
  EXPECT_EQ(0u, text(0, "DeviceID").find("PCI\\VEN_AAA2&DEV_0100"));
  // From the physical drive to its device, the key's backslashes doubled in the query text.
  ASSERT_EQ(0, query(h,
                     "ASSOCIATORS OF {Win32_DiskDrive.DeviceID='\\\\\\\\.\\\\PhysicalDrive1'} WHERE "
                     "ResultClass=Win32_PnPEntity",
                     {"DeviceID"}));
  ASSERT_EQ(1u, rows_.size());
  EXPECT_EQ("SCSI\\DISK&VEN_NVME&PROD_SIM_NVME_B\\7&2C3D4E5F&0&000000", text(0, "DeviceID"));
  EXPECT_EQ(1, query(h, "SELECT * FROM Win32_DiskDrive where", {"Index"}));
  EXPECT_STREQ("Failed to execute query: SELECT * FROM Win32_DiskDrive where (80041017h)", err_.message);
}

TEST_F(WbemHelperTest, AnAssociationKeyWithoutItsEscapesNamesNothing) {
  WbemHelper h;
  // '\\.\PhysicalDrive1' reads as \.PhysicalDrive1 and SCSI\DISK&... as SCSIDISK&...
  EXPECT_EQ(0, query(h, "ASSOCIATORS OF {Win32_DiskDrive.DeviceID='\\\\.\\PhysicalDrive1'} WHERE ResultClass=Win32_PnPEntity",
                     {"DeviceID"}));
  EXPECT_TRUE(rows_.empty());
  EXPECT_EQ(0, query(h,
                     "ASSOCIATORS OF {Win32_PnPEntity.DeviceID='SCSI\\DISK&VEN_NVME&PROD_SIM_NVME_B\\7&2C3D4E5F&0&000000'} "
                     "WHERE AssocClass=Win32_SCSIControllerDevice",
                     {"DeviceID"}));
  EXPECT_TRUE(rows_.empty());
  // A key whose closing quote is escaped does not end: the query does not parse.
  EXPECT_EQ(1, query(h, "ASSOCIATORS OF {Win32_DiskDrive.DeviceID='x\\'} WHERE ResultClass=Win32_PnPEntity", {"DeviceID"}));
}

TEST(WbemVariant, ReadersConvertByType) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_NULL;
  EXPECT_FALSE(variant_to_string(v));
  EXPECT_FALSE(variant_to_u32(v));
  v.vt = VT_I4;
  v.lVal = 0x0102;
  EXPECT_EQ(2, variant_to_u8(v).value());
  EXPECT_EQ(258.0, variant_to_double(v).value());
  EXPECT_THROW(variant_to_string(v), std::runtime_error);
  v.vt = VT_R8;
  v.dblVal = -1.9;
  EXPECT_EQ(0xFFFFFFFFu, variant_to_u32(v).value());
  vornwincom::Bstr number("18446744073709551615"), word("12a");
  v.vt = VT_BSTR;
  v.bstrVal = number.get();
  EXPECT_EQ(0xFFu, variant_to_u8(v).value());
  EXPECT_EQ("18446744073709551615", variant_to_string(v).value());
  v.bstrVal = word.get();
  EXPECT_FALSE(variant_to_u32(v));
  EXPECT_FALSE(variant_to_double(v));
}

}  // namespace
