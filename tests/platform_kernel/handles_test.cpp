// Handle table: values, accounting of open handles and bad closes, close notification.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "kernel_fixture.h"
#include "tests/support/resource_check.h"

namespace {

class CountingObject : public sim::KernelObject {
 public:
  explicit CountingObject(std::atomic<int> *closes) : closes_(closes) {}
  const char *kind() const override { return "counting"; }
  void on_close() override { ++*closes_; }

 private:
  std::atomic<int> *closes_;
};

using HandleTable = KernelTest;

TEST_F(HandleTable, ValuesAreNeitherZeroNorInvalidAndAreNotReused) {
  std::set<HANDLE> seen;
  for (int round = 0; round < 3; ++round) {
    std::vector<HANDLE> hs;
    for (int i = 0; i < 20; ++i) {
      HANDLE h = CreateMutexA(nullptr, FALSE, nullptr);
      ASSERT_NE(h, nullptr);
      ASSERT_NE(h, INVALID_HANDLE_VALUE);
      EXPECT_TRUE(seen.insert(h).second) << "handle value reused";
      hs.push_back(h);
    }
    EXPECT_EQ(sim::handle_open_count(), before_["handles"] + 20);
    for (HANDLE h : hs) EXPECT_TRUE(CloseHandle(h));
  }
}

TEST_F(HandleTable, BadClosesFailAndAreRecorded) {
  sim::expect_resource_change("bad_closes");
  HANDLE h = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(h));
  const HANDLE bad[] = {nullptr, INVALID_HANDLE_VALUE, h,
                        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7654320))};
  for (HANDLE b : bad) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(b));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(sim::handle_bad_close_count(), before_["bad_closes"] + 4);
  EXPECT_GE(sim::handle_bad_close_log().size(), 4u);
  EXPECT_EQ(sim::handle_open_count(), before_["handles"]);
  rebase();
}

TEST_F(HandleTable, LastCloseOfAnObjectNotifiesItOnce) {
  std::atomic<int> closes{0};
  auto object = std::make_shared<CountingObject>(&closes);
  HANDLE a = sim::handle_add(object);
  HANDLE b = sim::handle_add(object);
  EXPECT_EQ(sim::handle_count_for(object.get()), 2u);
  EXPECT_EQ(sim::handle_lookup(a), sim::handle_lookup(b));
  EXPECT_TRUE(sim::handle_remove(a));
  EXPECT_EQ(closes, 0);
  EXPECT_TRUE(sim::handle_remove(b));
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(sim::handle_lookup(b), nullptr);
}

TEST_F(HandleTable, ConcurrentOpensAndClosesKeepTheCountsRight) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) {
        HANDLE h = CreateMutexA(nullptr, FALSE, nullptr);
        if (h == nullptr || !CloseHandle(h)) ADD_FAILURE() << "mutex create/close failed";
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(sim::handle_open_count(), before_["handles"]);
  EXPECT_EQ(sim::handle_bad_close_count(), before_["bad_closes"]);
}

TEST_F(HandleTable, WaitOnUnknownOrUnwaitableHandlesFails) {
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  std::atomic<int> closes{0};
  HANDLE h = sim::handle_add(std::make_shared<CountingObject>(&closes));
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(HandleTable, SnapshotReportsWhatChanged) {
  HANDLE h = CreateMutexA(nullptr, FALSE, nullptr);
  std::string changes = sim::ResourceSnapshot::take().changes_since(before_);
  EXPECT_NE(changes.find("handles: "), std::string::npos) << changes;
  CloseHandle(h);
  EXPECT_EQ(sim::ResourceSnapshot::take().changes_since(before_), "");
}

}  // namespace
