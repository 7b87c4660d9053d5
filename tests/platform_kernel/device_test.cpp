// Device namespace: CreateFileA over aliases in any case, the open log, DeviceIoControl
// dispatch, the request trace, fault rules and sharing.
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "kernel_fixture.h"
#include "sim/device.h"
#include "tests/support/resource_check.h"

namespace {

const char *const kPort = "\\\\.\\Scsi2:";
const char *const kPortInterface =
    "\\\\?\\PCI#VEN_ABCD&DEV_0001#4&1234&0&00E8#{2accfe60-c130-11d2-b082-00a0c91efb8b}";
const DWORD kEcho = CTL_CODE(0x0004, 0x401, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
const DWORD kOther = CTL_CODE(0x002d, 0x500, METHOD_BUFFERED, FILE_ANY_ACCESS);

// Answers kEcho by returning the input bytes reversed; everything else is not supported.
// The device is called from several threads at once: `faults` is guarded by `lock`.
std::shared_ptr<sim::FunctionDevice> make_echo(std::vector<std::vector<sim::FiredFault>> *faults,
                                               std::mutex *lock) {
  return std::make_shared<sim::FunctionDevice>("echo", [faults, lock](sim::IoctlCall &call) -> BOOL {
    {
      std::lock_guard<std::mutex> g(*lock);
      faults->push_back(call.faults);
    }
    if (call.code != kEcho) return call.fail(ERROR_INVALID_FUNCTION);
    if (call.out_size < call.in_size) return call.fail(ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> in(call.in, call.in + call.in_size);  // in and out may alias
    for (DWORD i = 0; i < call.in_size; ++i) call.out[i] = in[call.in_size - 1 - i];
    call.bytes_returned = call.in_size;
    if (call.trace) call.trace->notes["echo"] = "yes";
    return TRUE;
  });
}

HANDLE open_rw(const char *path, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

class Devices : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    echo_ = make_echo(&faults_seen_, &faults_lock_);
    sim::register_device(echo_, {kPort, kPortInterface});
  }
  std::mutex faults_lock_;
  std::vector<std::vector<sim::FiredFault>> faults_seen_;
  std::shared_ptr<sim::FunctionDevice> echo_;
};

TEST_F(Devices, UnknownPathsAreNotFoundAndLogged) {
  SetLastError(0);
  HANDLE h = CreateFileA("C:\\nosuchfile.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  auto log = sim::open_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].path, "C:\\nosuchfile.bin");
  EXPECT_EQ(log[0].error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(log[0].handle, INVALID_HANDLE_VALUE);
}

TEST_F(Devices, AliasesInAnyCaseNameOneObjectAndOpensAreRecorded) {
  HANDLE a = open_rw("\\\\.\\SCSI2:");
  HANDLE b = CreateFileA(
      "\\\\?\\pci#ven_abcd&dev_0001#4&1234&0&00e8#{2ACCFE60-C130-11D2-B082-00A0C91EFB8B}",
      GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  EXPECT_NE(a, b);
  EXPECT_EQ(sim::device_for_handle(a), sim::device_for_handle(b));
  EXPECT_EQ(sim::device_for_handle(a), echo_);
  EXPECT_EQ(echo_->open_handle_count(), 2u);
  EXPECT_EQ(sim::device_paths(echo_.get()), (std::vector<std::string>{kPort, kPortInterface}));

  auto log = sim::open_log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_LT(log[0].order, log[1].order);
  EXPECT_EQ(log[0].share, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_EQ(log[1].share, 0u) << "exclusive open succeeds: sharing is not enforced";
  EXPECT_EQ(log[1].device, "echo");
  EXPECT_EQ(sim::open_record_for_handle(b)->order, log[1].order);

  EXPECT_TRUE(CloseHandle(a));
  EXPECT_TRUE(CloseHandle(b));
  EXPECT_EQ(echo_->open_handle_count(), 0u);
}

TEST_F(Devices, RequestsAreDispatchedAndTraced) {
  HANDLE h = open_rw(kPort);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  DWORD got = 0xFFFF;
  // Input and output in one buffer, as the storage requests use it.
  ASSERT_TRUE(DeviceIoControl(h, kEcho, buf, 4, buf, sizeof buf, &got, nullptr));
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{4, 3, 2, 1}));

  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(h, kOther, nullptr, 0, buf, sizeof buf, &got, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(got, 0u);

  auto trace = sim::trace_entries();
  ASSERT_EQ(trace.size(), 2u);
  EXPECT_EQ(trace[0].path, kPort);
  EXPECT_EQ(trace[0].input, (std::vector<uint8_t>{1, 2, 3, 4})) << "input as passed in";
  EXPECT_EQ(trace[0].output, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(trace[0].notes.at("echo"), "yes");
  EXPECT_FALSE(trace[1].result);
  EXPECT_EQ(trace[1].error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(sim::trace_entries_for(kOther).size(), 1u);
  CloseHandle(h);
}

TEST_F(Devices, TracingCanBeSwitchedOff) {
  HANDLE h = open_rw(kPort);
  uint8_t buf[2] = {1, 2};
  DWORD got = 0;
  sim::trace_enable(false);
  EXPECT_TRUE(DeviceIoControl(h, kEcho, buf, 2, buf, 2, &got, nullptr));
  EXPECT_TRUE(sim::trace_entries().empty());
  sim::reset_machine();  // switches it on again
  EXPECT_TRUE(DeviceIoControl(h, kEcho, buf, 2, buf, 2, &got, nullptr));
  EXPECT_EQ(sim::trace_entries().size(), 1u);
  CloseHandle(h);
}

TEST_F(Devices, BadHandlesFailWithInvalidHandle) {
  HANDLE closed = open_rw(kPort);
  CloseHandle(closed);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  uint8_t buf[4] = {};
  for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, closed, mutex}) {
    DWORD got = 77;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, kEcho, buf, 4, buf, 4, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(got, 0u);
  }
  EXPECT_EQ(sim::trace_entries().size(), 4u) << "failed calls are traced too";
  CloseHandle(mutex);
}

TEST_F(Devices, OpenFaultsByPathAndCount) {
  int denied = sim::fail_open(kPortInterface, ERROR_ACCESS_DENIED);
  SetLastError(0);
  // The rule names one alias; an open through another alias of the object matches too.
  EXPECT_EQ(open_rw("\\\\.\\scsi2:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  sim::remove_fault(denied);
  EXPECT_EQ(sim::fault_fired(denied), 1u);

  sim::fail_open(kPort, ERROR_SHARING_VIOLATION, sim::FaultCount::at(2));
  HANDLE first = open_rw(kPort);
  EXPECT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open_rw(kPort), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE third = open_rw(kPort);
  EXPECT_NE(third, INVALID_HANDLE_VALUE);

  sim::fail_open("\\\\.\\PhysicalDrive9", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open_rw("\\\\.\\PhysicalDrive9"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  CloseHandle(first);
  CloseHandle(third);
}

TEST_F(Devices, RequestFaultsFailOrReachTheDevice) {
  HANDLE a = open_rw(kPort);
  HANDLE b = open_rw(kPort);
  uint8_t buf[4] = {1, 2, 3, 4};
  DWORD got = 0;
  int io = sim::fail_ioctl(kPortInterface, kEcho, ERROR_IO_DEVICE, sim::FaultCount::starting_at(2));
  EXPECT_TRUE(DeviceIoControl(a, kEcho, buf, 4, buf, 4, &got, nullptr));
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(DeviceIoControl(a, kEcho, buf, 4, buf, 4, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
  }
  EXPECT_EQ(faults_seen_.size(), 1u) << "a failed call never reaches the device";
  EXPECT_EQ(sim::trace_entries().back().fired_faults, std::vector<int>{io});
  sim::remove_fault(io);

  // A rule for one handle leaves the other alone; a custom action reaches the device.
  sim::FaultRule rule;
  rule.match.op = sim::FaultOp::ioctl;
  rule.match.handle = b;
  rule.action = sim::FaultAction::custom_action("short", 2);
  int custom = sim::add_fault(rule);
  EXPECT_TRUE(DeviceIoControl(a, kEcho, buf, 4, buf, 4, &got, nullptr));
  EXPECT_TRUE(faults_seen_.back().empty());
  EXPECT_TRUE(DeviceIoControl(b, kEcho, buf, 4, buf, 4, &got, nullptr));
  ASSERT_EQ(faults_seen_.back().size(), 1u);
  EXPECT_EQ(faults_seen_.back()[0].rule_id, custom);
  EXPECT_EQ(faults_seen_.back()[0].action.name, "short");
  EXPECT_EQ(faults_seen_.back()[0].action.value, 2u);
  CloseHandle(a);
  CloseHandle(b);
}

TEST(FaultRules, KeysAndCountersSelectTheCalls) {
  sim::reset_machine();
  sim::FaultRule rule;
  rule.match.keys["signature"] = "IntelNvm";
  rule.match.keys["opcode"] = sim::fault_key(0x11);
  rule.match.count = sim::FaultCount::at(2);
  rule.action = sim::FaultAction::fail_with(ERROR_GEN_FAILURE);
  int id = sim::add_fault(rule);
  sim::FaultQuery q;
  q.keys["signature"] = "IntelNvm";
  q.keys["opcode"] = sim::fault_key(0x10);
  EXPECT_TRUE(sim::check_faults(q).empty());
  q.keys["opcode"] = "0x11";
  EXPECT_TRUE(sim::check_faults(q).empty());  // first match
  auto fired = sim::check_faults(q);          // second match
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].rule_id, id);
  EXPECT_TRUE(sim::check_faults(q).empty());
  EXPECT_EQ(sim::fault_seen(id), 3u);
  EXPECT_EQ(sim::fault_fired(id), 1u);
  sim::reset_machine();
  EXPECT_EQ(sim::fault_seen(id), 0u);
}

TEST_F(Devices, SharingIsEnforcedOnlyWhenAsked) {
  HANDLE shared = open_rw(kPort);
  HANDLE exclusive = open_rw(kPort, 0);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
  CloseHandle(exclusive);

  echo_->enforce_sharing = true;
  EXPECT_EQ(open_rw(kPort, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE second = open_rw(kPort);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  CloseHandle(shared);
  CloseHandle(second);
  HANDLE alone = open_rw(kPort, 0);
  EXPECT_NE(alone, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open_rw(kPort), INVALID_HANDLE_VALUE);
  CloseHandle(alone);
}

TEST_F(Devices, DeviceHooksSeeOpensAndCloses) {
  struct Hooked : sim::DeviceObject {
    Hooked() : DeviceObject("hooked") {}
    BOOL ioctl(sim::IoctlCall &call) override { return call.fail(ERROR_NOT_SUPPORTED); }
    DWORD on_open(const sim::OpenRecord &r) override {
      return (r.access & GENERIC_WRITE) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    }
    void on_handle_closed(HANDLE h) override { closed.push_back(h); }
    std::vector<HANDLE> closed;
  };
  auto dev = std::make_shared<Hooked>();
  sim::register_device(dev, {"\\\\.\\Hooked"});
  EXPECT_EQ(open_rw("\\\\.\\hooked"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE h = CreateFileA("\\\\.\\HOOKED", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(dev->closed, std::vector<HANDLE>{h});
}

TEST_F(Devices, OverlongAnswersAreClampedAndCountedAsViolations) {
  sim::expect_resource_change("contract_violations");
  auto liar = std::make_shared<sim::FunctionDevice>("liar", [](sim::IoctlCall &call) -> BOOL {
    call.bytes_returned = call.out_size + 100;
    return TRUE;
  });
  sim::register_device(liar, {"\\\\.\\Liar"});
  HANDLE h = open_rw("\\\\.\\Liar");
  uint8_t buf[16];
  DWORD got = 0;
  EXPECT_TRUE(DeviceIoControl(h, kEcho, nullptr, 0, buf, sizeof buf, &got, nullptr));
  EXPECT_EQ(got, sizeof buf);
  EXPECT_EQ(sim::contract_violation_count(), before_["contract_violations"] + 1);
  CloseHandle(h);
  rebase();
}

TEST_F(Devices, NullBuffersWithSizesAreRejected) {
  HANDLE h = open_rw(kPort);
  uint8_t buf[4] = {};
  DWORD got = 0;
  EXPECT_FALSE(DeviceIoControl(h, kEcho, nullptr, 4, buf, 4, &got, nullptr));
  EXPECT_FALSE(DeviceIoControl(h, kEcho, buf, 4, nullptr, 4, &got, nullptr));
  EXPECT_FALSE(DeviceIoControl(h, kEcho, buf, 4, buf, 4, nullptr, nullptr));
  EXPECT_TRUE(faults_seen_.empty());
  CloseHandle(h);
}

// A control code's required access must have been asked for at the open; the device never sees
// a request refused for it.
TEST_F(Devices, ControlCodesNeedTheAccessTheyRequire) {
  const DWORD read_only = CTL_CODE(0x0004, 0x402, METHOD_BUFFERED, FILE_READ_ACCESS);
  const DWORD write_only = CTL_CODE(0x0004, 0x403, METHOD_BUFFERED, FILE_WRITE_ACCESS);
  uint8_t buf[4] = {1, 2, 3, 4};
  DWORD got = 0;
  auto refused = [&](HANDLE h, DWORD code) {
    SetLastError(0);
    const bool failed = !DeviceIoControl(h, code, buf, 4, buf, 4, &got, nullptr);
    return failed && GetLastError() == static_cast<DWORD>(ERROR_ACCESS_DENIED);
  };
  HANDLE reader = CreateFileA(kPort, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE writer = CreateFileA(kPort, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE bare = CreateFileA(kPort, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_TRUE(refused(reader, kEcho));
  EXPECT_TRUE(refused(writer, kEcho));
  EXPECT_TRUE(refused(bare, read_only));
  EXPECT_TRUE(refused(reader, write_only));
  EXPECT_TRUE(faults_seen_.empty()) << "refused before the device";
  EXPECT_FALSE(refused(reader, read_only));
  EXPECT_FALSE(refused(writer, write_only));
  EXPECT_FALSE(refused(bare, kOther));
  for (HANDLE h : {reader, writer, bare}) CloseHandle(h);
}

// A device that fills its whole output with EEh and answers 6 bytes. A buffered request hands the
// caller those 6 on success or a warning, nothing on an error; past them the caller's buffer keeps
// what it held (in one buffer with the input: what was sent). A direct request is written in place.
TEST_F(Devices, BufferedRequestsHandBackOnlyTheBytesReturned) {
  const DWORD direct = CTL_CODE(0x0004, 0x404, METHOD_OUT_DIRECT, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
  struct Row {
    const char *name;
    DWORD code;
    bool own_output;  // else input and output in one buffer
    DWORD error;      // the device's answer
    BOOL ok;
    DWORD got;        // BytesReturned
    size_t written;   // leading bytes of the caller's buffer holding the device's EEh
  };
  const Row rows[] = {
      {"one buffer, answered", kEcho, false, ERROR_SUCCESS, TRUE, 6, 6},
      {"one buffer, failed", kEcho, false, ERROR_IO_DEVICE, FALSE, 0, 0},
      {"one buffer, more data", kEcho, false, ERROR_MORE_DATA, FALSE, 6, 6},
      {"own output, answered", kEcho, true, ERROR_SUCCESS, TRUE, 6, 6},
      {"own output, failed", kEcho, true, ERROR_NOT_SUPPORTED, FALSE, 0, 0},
      {"own output, not buffered", direct, true, ERROR_SUCCESS, TRUE, 6, 16},
  };
  auto error = std::make_shared<DWORD>(ERROR_SUCCESS);
  sim::register_device(std::make_shared<sim::FunctionDevice>("filler", [error](sim::IoctlCall &call) -> BOOL {
    std::memset(call.out, 0xEE, call.out_size);
    call.bytes_returned = 6;
    return *error == ERROR_SUCCESS ? TRUE : call.fail(*error);
  }), {"\\\\.\\Filler"});
  HANDLE h = open_rw("\\\\.\\Filler");
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    *error = row.error;
    std::vector<uint8_t> in = {1, 2, 3, 4, 5, 6, 7, 8}, out(16, 0xA5);
    if (!row.own_output) std::copy(in.begin(), in.end(), out.begin());
    std::vector<uint8_t> expected = out;
    std::fill(expected.begin(), expected.begin() + row.written, uint8_t{0xEE});
    DWORD got = 77;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(row.ok, DeviceIoControl(h, row.code, row.own_output ? in.data() : out.data(), 8, out.data(), 16, &got,
                                      nullptr));
    EXPECT_EQ(row.error, GetLastError());
    EXPECT_EQ(row.got, got);
    EXPECT_EQ(expected, out);
  }
  CloseHandle(h);
}

TEST_F(Devices, ConcurrentRequestsOnOneObjectAreAllTraced) {
  HANDLE a = open_rw(kPort);
  HANDLE b = open_rw(kPortInterface);
  auto worker = [](HANDLE h, uint8_t tag) {
    for (int i = 0; i < 200; ++i) {
      uint8_t buf[2] = {tag, static_cast<uint8_t>(i)};
      DWORD got = 0;
      if (!DeviceIoControl(h, kEcho, buf, 2, buf, 2, &got, nullptr) || buf[1] != tag)
        ADD_FAILURE() << "request failed";
    }
  };
  std::thread t1(worker, a, 1), t2(worker, b, 2);
  t1.join();
  t2.join();
  auto trace = sim::trace_entries();
  ASSERT_EQ(trace.size(), 400u);
  std::set<uint64_t> seqs;
  for (const auto &e : trace) seqs.insert(e.seq);
  EXPECT_EQ(seqs.size(), 400u);
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(Devices, ResetForgetsPathsButOpenHandlesStayUsable) {
  HANDLE h = open_rw(kPort);
  sim::reset_machine();
  EXPECT_EQ(open_rw(kPort), INVALID_HANDLE_VALUE);
  uint8_t buf[2] = {1, 2};
  DWORD got = 0;
  EXPECT_TRUE(DeviceIoControl(h, kEcho, buf, 2, buf, 2, &got, nullptr));
  EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
