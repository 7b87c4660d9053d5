// USB hubs of the device tree as device objects: the five hub requests, answered from the hub's
// ports and the devices on them.
#include <algorithm>
#include <cstring>

#include "platform/sim/devtree_internal.h"
#include "sim/storage/driver.h"

namespace sim {
namespace devtree {
namespace {

constexpr DWORD kHubInfoSize = 77;         // HubType, HighestPortNumber, hub descriptor (71)
constexpr DWORD kConnectionInfoSize = 35;  // up to the pipe list
constexpr DWORD kConnectionInfoV2Size = 16;
constexpr DWORD kDescriptorRequestSize = 12;
constexpr DWORD kNodeNameSize = 10;        // ConnectionIndex, ActualLength, one character
constexpr uint32_t kUsb300 = 0x4;

class HubObject : public DeviceObject {
 public:
  HubObject(std::string name, std::shared_ptr<const UsbHub> hub) : DeviceObject(std::move(name)), hub_(std::move(hub)) {}

  // The host's buffers are fixed by the request contracts; another size is a contract violation
  // (the request is still answered as the hub driver would).
  BOOL ioctl(IoctlCall &call) override {
    expect_sizes(call);
    switch (call.code) {
      case IOCTL_USB_GET_HUB_INFORMATION_EX: return hub_information(call);
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION: return connection_information(call);
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2: return connection_information_v2(call);
      case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION: return descriptor(call);
      case IOCTL_USB_GET_NODE_CONNECTION_NAME: return connection_name(call);
      default: return call.fail(ERROR_INVALID_FUNCTION);
    }
  }

 private:
  // The port a request names (ConnectionIndex at offset 0); null when out of range.
  const UsbPort *port_of(const IoctlCall &call) const {
    if (call.in_size < 4) return nullptr;
    const uint32_t index = wire::u32(call.in, 0);
    return index >= 1 && index <= hub_->ports ? &hub_->port[index] : nullptr;
  }

  void expect_sizes(const IoctlCall &call) const {
    DWORD in = 0, out = 0;
    switch (call.code) {
      case IOCTL_USB_GET_HUB_INFORMATION_EX: in = out = kHubInfoSize; break;
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION: in = out = 1024; break;
      case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX_V2: in = out = kConnectionInfoV2Size; break;
      case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION: in = out = kDescriptorRequestSize + 1012; break;
      case IOCTL_USB_GET_NODE_CONNECTION_NAME:
        if (call.in_size < kNodeNameSize || call.in_size != call.out_size)
          contract_violation(name() + ": node connection name request of " + std::to_string(call.in_size) + " in, " +
                             std::to_string(call.out_size) + " out (at least 10, in and out)");
        return;
      default: return;
    }
    if (call.in_size != in || call.out_size != out)
      contract_violation(name() + ": request " + fault_key(call.code) + " with " + std::to_string(call.in_size) +
                         " bytes in and " + std::to_string(call.out_size) + " out (expected " + std::to_string(in) + ")");
    if (call.code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION && call.in_size >= kDescriptorRequestSize &&
        (call.in[4] != 0x80 || call.in[5] != 6 || call.in[7] != 3 || wire::u16(call.in, 8) != 0 ||
         wire::u16(call.in, 10) != 1012))
      contract_violation(name() + ": string descriptor request with another setup packet");
  }

  std::optional<uint64_t> custom(const IoctlCall &call, const char *name) const {
    for (const FiredFault &f : call.faults)
      if (f.action.kind == FaultAction::custom && f.action.name == name) return f.action.value;
    return std::nullopt;
  }

  BOOL hub_information(IoctlCall &call) {
    if (call.out_size < kHubInfoSize) return call.fail(ERROR_INVALID_PARAMETER);
    std::memset(call.out, 0, kHubInfoSize);
    wire::put32(call.out, 0, hub_->type);
    wire::put16(call.out, 4, static_cast<uint16_t>(hub_->ports));
    uint8_t *d = call.out + 6;
    const uint8_t ports = static_cast<uint8_t>(hub_->ports);
    if (hub_->type == 3) {  // SuperSpeed hub descriptor
      const uint8_t desc[12] = {12, 0x2A, ports, 0, 0, 50, 0, 0, 0, 0, 0, 0};
      std::memcpy(d, desc, sizeof desc);
    } else {
      const uint8_t desc[9] = {9, 0x29, ports, 0, 0, 50, 0, 0, 0xFF};
      std::memcpy(d, desc, sizeof desc);
    }
    call.bytes_returned = kHubInfoSize;
    return TRUE;
  }

  BOOL connection_information(IoctlCall &call) {
    const UsbPort *p = port_of(call);
    if (!p || call.out_size < kConnectionInfoSize) return call.fail(ERROR_INVALID_PARAMETER);
    const uint32_t index = wire::u32(call.in, 0);
    std::memset(call.out, 0, kConnectionInfoSize);
    wire::put32(call.out, 0, index);
    if (p->connected) {
      uint8_t *d = call.out + 4;  // device descriptor
      d[0] = 18;
      d[1] = 1;
      wire::put16(d, 2, p->super_speed ? 0x0300 : 0x0200);
      d[4] = p->is_hub ? 9 : 0;
      d[7] = p->super_speed ? 9 : 64;
      wire::put16(d, 8, p->vid);
      wire::put16(d, 10, p->pid);
      wire::put16(d, 12, 0x0100);
      d[14] = 1;
      d[15] = 2;
      d[16] = p->serial_index;
      d[17] = 1;
      call.out[22] = 1;  // CurrentConfigurationValue
      call.out[24] = p->is_hub ? 1 : 0;
      wire::put16(call.out, 25, static_cast<uint16_t>(index));
      wire::put32(call.out, 31, 1);  // DeviceConnected
    }
    call.bytes_returned = kConnectionInfoSize;
    return TRUE;
  }

  BOOL connection_information_v2(IoctlCall &call) {
    if (call.in_size < kConnectionInfoV2Size || call.out_size < kConnectionInfoV2Size)
      return call.fail(ERROR_INVALID_PARAMETER);
    const uint32_t index = wire::u32(call.in, 0);
    const uint32_t length = wire::u32(call.in, 4);
    const uint32_t protocols = wire::u32(call.in, 8);
    const UsbPort *p = port_of(call);
    if (!p || length != kConnectionInfoV2Size || !(protocols & kUsb300)) return call.fail(ERROR_INVALID_PARAMETER);
    std::memset(call.out, 0, kConnectionInfoV2Size);
    wire::put32(call.out, 0, index);
    wire::put32(call.out, 4, kConnectionInfoV2Size);
    if (p->connected) {
      wire::put32(call.out, 8, 0x3 | (p->super_speed_capable ? kUsb300 : 0));
      // Flags: bit 0 operating at SuperSpeed or higher, bit 1 SuperSpeed-capable, bit 2 operating
      // at SuperSpeedPlus, bit 3 SuperSpeedPlus-capable.
      uint32_t flags = 0;
      if (p->super_speed) flags |= 0x1;
      if (p->super_speed_capable) flags |= 0x2;
      if (p->super_speed_plus) flags |= 0xC;
      wire::put32(call.out, 12, flags);
    }
    call.bytes_returned = kConnectionInfoV2Size;
    return TRUE;
  }

  BOOL descriptor(IoctlCall &call) {
    if (call.in_size < kDescriptorRequestSize || call.out_size < kDescriptorRequestSize)
      return call.fail(ERROR_INVALID_PARAMETER);
    uint8_t head[kDescriptorRequestSize];
    std::memcpy(head, call.in, sizeof head);
    const UsbPort *p = port_of(call);
    const uint16_t value = wire::u16(head, 6);
    const uint16_t length = wire::u16(head, 10);
    if (!p || length > call.out_size - kDescriptorRequestSize) return call.fail(ERROR_INVALID_PARAMETER);
    if (!p->connected || head[4] != 0x80 || head[5] != 6 || (value >> 8) != 3) return call.fail(ERROR_GEN_FAILURE);
    const uint8_t index = static_cast<uint8_t>(value);
    std::vector<uint8_t> d;
    if (index == 0) {
      d = {4, 3, 0x09, 0x04};  // language ids: English (United States)
    } else if (index == p->serial_index && !p->serial_stall) {
      const size_t chars = std::min<size_t>(p->serial.size(), 126);
      d = {static_cast<uint8_t>(2 + 2 * chars), 3};
      for (size_t i = 0; i < chars; ++i) {
        d.push_back(static_cast<uint8_t>(p->serial[i]));
        d.push_back(0);
      }
      if (p->serial_length) d[0] = static_cast<uint8_t>(*p->serial_length);
      if (auto forced = custom(call, "string_length")) d[0] = static_cast<uint8_t>(*forced);
    } else {
      return call.fail(ERROR_GEN_FAILURE);  // the device stalls the request
    }
    const size_t sent = std::min<size_t>(d.size(), length);
    std::memcpy(call.out, head, sizeof head);
    std::memcpy(call.out + kDescriptorRequestSize, d.data(), sent);
    call.bytes_returned = static_cast<DWORD>(kDescriptorRequestSize + sent);
    return TRUE;
  }

  BOOL connection_name(IoctlCall &call) {
    const UsbPort *p = port_of(call);
    if (!p || call.out_size < kNodeNameSize) return call.fail(ERROR_INVALID_PARAMETER);
    const uint32_t index = wire::u32(call.in, 0);
    const std::string name = p->is_hub ? p->name : std::string();
    const DWORD actual = static_cast<DWORD>(8 + 2 * (name.size() + 1));
    DWORD reported = p->name_length ? *p->name_length : actual;
    if (auto forced = custom(call, "actual_length")) reported = static_cast<DWORD>(*forced);
    std::memset(call.out, 0, kNodeNameSize);
    wire::put32(call.out, 0, index);
    wire::put32(call.out, 4, reported);
    if (call.out_size < actual) {
      call.bytes_returned = kNodeNameSize;
      return TRUE;
    }
    for (size_t i = 0; i <= name.size(); ++i) wire::put16(call.out, 8 + 2 * i, i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
    call.bytes_returned = actual;
    return TRUE;
  }

  std::shared_ptr<const UsbHub> hub_;
};

}  // namespace

void register_hubs(const Tree &t) {
  for (size_t i = 0; i < t.nodes.size(); ++i) {
    const Node &n = t.nodes[i];
    if (!n.hub) continue;
    std::vector<std::string> paths;
    for (const Interface &itf : n.interfaces)
      if (itf.enabled && same_guid(itf.guid, GUID_DEVINTERFACE_USB_HUB)) paths.push_back(itf.path);
    for (const Node &o : t.nodes)
      if (o.hub)
        for (const UsbPort &p : o.hub->port)
          if (p.is_hub && p.node == static_cast<int>(i)) paths.push_back("\\\\.\\" + p.name);
    if (!paths.empty()) register_device(std::make_shared<HubObject>("hub " + n.instance_id, n.hub), paths);
  }
}

}  // namespace devtree
}  // namespace sim
