// The USB hubs of REF-1: the five hub requests byte for byte on the root hub and, through node
// connection names, on the downstream hubs, with the description's and the rules' faults.
#include <cstring>

#include "devtree_fixture.h"
#include "sim/trace.h"

namespace {

uint32_t u32(const std::vector<uint8_t> &b, size_t off) {
  return b[off] | b[off + 1] << 8 | b[off + 2] << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
}
uint16_t u16(const std::vector<uint8_t> &b, size_t off) { return static_cast<uint16_t>(b[off] | b[off + 1] << 8); }
void put32(std::vector<uint8_t> &b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
std::string utf16(const std::vector<uint8_t> &b, size_t off, size_t bytes) {
  std::string s;
  for (size_t i = off; i + 1 < off + bytes && i + 1 < b.size() && (b[i] || b[i + 1]); i += 2) s += static_cast<char>(b[i]);
  return s;
}

class Ref1UsbHubs : public devtreetest::Ref1 {
 protected:
  void SetUp() override {
    Ref1::SetUp();
    for (const auto &[name, path] : interface_walk(GUID_DEVINTERFACE_USB_HUB)) hub_paths_[name] = path;
    before_ = sim::ResourceSnapshot::take();
  }
  HANDLE open(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
    return h;
  }
  // One request; the buffer serves as input and output. `ok` and the last error are kept.
  std::vector<uint8_t> request(HANDLE h, DWORD code, std::vector<uint8_t> buf, DWORD out_size = 0) {
    if (out_size) buf.resize(std::max<size_t>(buf.size(), out_size));
    DWORD in = static_cast<DWORD>(buf.size());
    returned_ = 0;
    ok_ = DeviceIoControl(h, code, buf.data(), in, buf.data(), out_size ? out_size : in, &returned_, nullptr);
    error_ = ok_ ? 0 : GetLastError();
    return buf;
  }
  std::vector<uint8_t> on_port(uint32_t port, size_t size) {
    std::vector<uint8_t> b(size, 0);
    put32(b, 0, port);
    return b;
  }
  std::vector<uint8_t> serial_request(uint32_t port, uint8_t index) {
    std::vector<uint8_t> b = on_port(port, 12 + 1012);
    b[4] = 0x80;
    b[5] = 6;
    b[6] = index;
    b[7] = 3;
    b[10] = 1012 & 0xFF;
    b[11] = 1012 >> 8;
    return b;
  }
  std::map<std::string, std::string> hub_paths_;
  BOOL ok_ = FALSE;
  DWORD error_ = 0, returned_ = 0;
};

TEST_F(Ref1UsbHubs, RootHubPortsAndTheirDevices) {
  HANDLE r1 = open(hub_paths_["R1"]);
  std::vector<uint8_t> b = request(r1, IOCTL_USB_GET_HUB_INFORMATION_EX, std::vector<uint8_t>(77, 0));
  ASSERT_TRUE(ok_);
  EXPECT_EQ(returned_, 77u);
  EXPECT_EQ(u32(b, 0), 1u);
  EXPECT_EQ(u16(b, 4), 7u);

  b = request(r1, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, on_port(1, 1024));
  ASSERT_TRUE(ok_);
  EXPECT_EQ(u16(b, 12), 0xAAB1);
  EXPECT_EQ(u16(b, 14), 0x0001);
  EXPECT_EQ(b[20], 3) << "iSerialNumber";
  EXPECT_EQ(b[24], 0) << "DeviceIsHub";
  EXPECT_EQ(u32(b, 31), 1u) << "ConnectionStatus";
  b = request(r1, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, on_port(4, 1024));
  EXPECT_EQ(u32(b, 31), 0u) << "port 4 is empty";
  b = request(r1, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, on_port(7, 1024));
  EXPECT_EQ(b[24], 1) << "H1 on port 7";
  EXPECT_EQ(u16(b, 12), 0xAAB3);
  for (uint32_t port : {0u, 8u}) {
    request(r1, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, on_port(port, 1024));
    EXPECT_EQ(error_, static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << port;
  }

  // Speed: Length 16 and the USB 3.0 bit are required.
  std::vector<uint8_t> v2 = on_port(1, 16);
  put32(v2, 4, 16);
  put32(v2, 8, 0x4);
  b = request(r1, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2);
  ASSERT_TRUE(ok_);
  EXPECT_EQ(u32(b, 12) & 1, 1u) << "BOT device at super speed";
  put32(v2, 0, 3);
  EXPECT_EQ(u32(request(r1, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2), 12) & 1, 0u) << "keyboard";
  put32(v2, 8, 0x2);
  request(r1, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2);
  EXPECT_EQ(error_, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  put32(v2, 8, 0x4);
  put32(v2, 4, 12);
  request(r1, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2, v2);
  EXPECT_EQ(error_, static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // Serial strings: plain, 60 characters, and the port whose device stalls the request.
  b = request(r1, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, serial_request(1, 3));
  ASSERT_TRUE(ok_);
  EXPECT_EQ(b[12], 22);
  EXPECT_EQ(b[13], 3);
  EXPECT_EQ(utf16(b, 14, b[12] - 2), "SIMBOT0001");
  EXPECT_EQ(returned_, 12u + 22u);
  b = request(r1, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, serial_request(5, 3));
  EXPECT_EQ(b[12], 2 + 2 * 60);
  EXPECT_EQ(utf16(b, 14, b[12] - 2).size(), 60u);
  request(r1, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, serial_request(6, 3));
  EXPECT_EQ(error_, static_cast<DWORD>(ERROR_GEN_FAILURE));
  CloseHandle(r1);
}

TEST_F(Ref1UsbHubs, DownstreamHubsByNodeConnectionName) {
  HANDLE r1 = open(hub_paths_["R1"]);
  std::vector<uint8_t> b = request(r1, IOCTL_USB_GET_NODE_CONNECTION_NAME, on_port(7, 10));
  ASSERT_TRUE(ok_);
  const std::string expected = "USB#VID_AAB3&PID_0003#5&4F4F4F4F&0&7#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
  const uint32_t actual = u32(b, 4);
  EXPECT_EQ(actual, 8 + 2 * (expected.size() + 1));
  b = request(r1, IOCTL_USB_GET_NODE_CONNECTION_NAME, on_port(7, actual));
  ASSERT_TRUE(ok_);
  EXPECT_EQ(returned_, actual);
  EXPECT_EQ(utf16(b, 8, actual - 8), expected);
  b = request(r1, IOCTL_USB_GET_NODE_CONNECTION_NAME, on_port(1, 64));
  EXPECT_EQ(u32(b, 4), 10u) << "a device that is not a hub has an empty name";

  HANDLE h1 = open("\\\\.\\" + expected);
  b = request(h1, IOCTL_USB_GET_HUB_INFORMATION_EX, std::vector<uint8_t>(77, 0));
  EXPECT_EQ(u32(b, 0), 3u);
  EXPECT_EQ(u16(b, 4), 7u);
  b = request(h1, IOCTL_USB_GET_NODE_CONNECTION_NAME, on_port(1, 512));
  const std::string h2 = utf16(b, 8, u32(b, 4) - 8);
  EXPECT_EQ(h2, "USB#VID_AAB3&PID_0010#6&5A5A5A5A&0&1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  HANDLE hub2 = open("\\\\.\\" + h2);
  b = request(hub2, IOCTL_USB_GET_HUB_INFORMATION_EX, std::vector<uint8_t>(77, 0));
  EXPECT_EQ(u32(b, 0), 2u);
  EXPECT_EQ(u16(b, 4), 4u);
  b = request(hub2, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, on_port(4, 1024));
  EXPECT_EQ(u16(b, 12), 0xAAC0);
  EXPECT_EQ(u16(b, 14), 0x0104);
  EXPECT_EQ(b[20], 0) << "no serial string";
  HANDLE same = open(hub_paths_["H2"]);
  EXPECT_EQ(u32(request(same, IOCTL_USB_GET_HUB_INFORMATION_EX, std::vector<uint8_t>(77, 0)), 0), 2u);
  for (HANDLE h : {r1, h1, hub2, same}) CloseHandle(h);
  HANDLE r2 = open(hub_paths_["R2"]);
  b = request(r2, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, on_port(2, 1024));
  EXPECT_EQ(u32(b, 31), 0u);
  CloseHandle(r2);
}

TEST_F(Ref1UsbHubs, FaultRulesOnHubRequests) {
  const std::string path = hub_paths_["R1"];
  auto rule = [&](DWORD code, sim::FaultAction action) {
    sim::FaultRule r;
    r.match.op = sim::FaultOp::ioctl;
    r.match.path = path;
    r.match.control_code = code;
    r.action = std::move(action);
    return sim::add_fault(r);
  };
  rule(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, sim::FaultAction::custom_action("string_length", 23));
  rule(IOCTL_USB_GET_NODE_CONNECTION_NAME, sim::FaultAction::custom_action("actual_length", 6));
  HANDLE r1 = open(path);
  std::vector<uint8_t> b = request(r1, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, serial_request(2, 3));
  ASSERT_TRUE(ok_);
  EXPECT_EQ(b[12], 23) << "odd bLength";
  EXPECT_EQ(returned_, 12u + 22u) << "the true string follows";
  b = request(r1, IOCTL_USB_GET_NODE_CONNECTION_NAME, on_port(7, 10));
  EXPECT_EQ(u32(b, 4), 6u);
  sim::clear_faults();
  sim::fail_ioctl(path, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, ERROR_GEN_FAILURE);
  request(r1, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, on_port(1, 1024));
  EXPECT_EQ(error_, static_cast<DWORD>(ERROR_GEN_FAILURE));

  // A hub information buffer shorter than the request's contract: refused and counted.
  request(r1, IOCTL_USB_GET_HUB_INFORMATION_EX, std::vector<uint8_t>(64, 0));
  EXPECT_EQ(error_, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(sim::contract_violation_count(), 1u);
  sim::contract_violations_clear();
  CloseHandle(r1);
}

}  // namespace
