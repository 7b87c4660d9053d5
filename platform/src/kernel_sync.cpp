// Mutexes: owner-tracked and recursive. A mutex whose owning thread ends is abandoned: the next
// waiter acquires it and is told WAIT_ABANDONED.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/src/kernel_internal.h"
#include "platform/win_kernel.h"
#include "sim/handles.h"
#include "sim/machine.h"

namespace {

class MutexObject;

// The mutexes the current thread owns, abandoned when the thread ends.
struct OwnedMutexes {
  std::vector<std::weak_ptr<MutexObject>> list;
  ~OwnedMutexes();
  void add(const std::shared_ptr<MutexObject> &m);
  void remove(const MutexObject *m);
};

thread_local OwnedMutexes t_owned;

class MutexObject : public sim::KernelObject, public std::enable_shared_from_this<MutexObject> {
 public:
  const char *kind() const override { return "mutex"; }

  // Takes ownership for `tid` at once (creation with initial ownership).
  void take_initial(DWORD tid) {
    std::lock_guard<std::mutex> g(lock_);
    owner_ = tid;
    count_ = 1;
    t_owned.add(shared_from_this());
  }

  DWORD wait(DWORD timeout_ms) override {
    const sim::AppKnobs &k = sim::app_knobs();
    int n = sim::internal::count_mutex_wait();
    if ((k.fail_mutex_wait_at > 0 && n == k.fail_mutex_wait_at) ||
        (k.fail_mutex_wait_from > 0 && n >= k.fail_mutex_wait_from)) {
      SetLastError(ERROR_GEN_FAILURE);
      return WAIT_FAILED;
    }
    bool force_abandoned = k.abandon_mutex_wait_at > 0 && n == k.abandon_mutex_wait_at;

    DWORD me = sim::internal::current_thread_id();
    std::unique_lock<std::mutex> lk(lock_);
    if (owner_ == me) {
      ++count_;
      return force_abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    }
    if (!sim::machine_wait(cv_, lk, timeout_ms, [&] { return owner_ == 0; })) return WAIT_TIMEOUT;
    owner_ = me;
    count_ = 1;
    bool was_abandoned = abandoned_;
    abandoned_ = false;
    lk.unlock();
    t_owned.add(shared_from_this());
    return (was_abandoned || force_abandoned) ? WAIT_ABANDONED : WAIT_OBJECT_0;
  }

  BOOL release() {
    DWORD me = sim::internal::current_thread_id();
    std::unique_lock<std::mutex> lk(lock_);
    if (owner_ != me || count_ == 0) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    if (--count_ == 0) {
      owner_ = 0;
      lk.unlock();
      t_owned.remove(this);
      cv_.notify_one();
    }
    return TRUE;
  }

  // The thread `tid` ended while owning the mutex.
  void abandon_by(DWORD tid) {
    {
      std::lock_guard<std::mutex> g(lock_);
      if (owner_ != tid) return;
      owner_ = 0;
      count_ = 0;
      abandoned_ = true;
    }
    cv_.notify_one();
  }

 private:
  std::mutex lock_;
  sim::MachineCondition cv_;
  DWORD owner_ = 0;
  unsigned count_ = 0;
  bool abandoned_ = false;
};

OwnedMutexes::~OwnedMutexes() { sim::internal::abandon_owned_mutexes(); }

void OwnedMutexes::add(const std::shared_ptr<MutexObject> &m) {
  for (auto &w : list)
    if (w.lock() == m) return;
  list.push_back(m);
}

void OwnedMutexes::remove(const MutexObject *m) {
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const std::weak_ptr<MutexObject> &w) {
                              auto p = w.lock();
                              return !p || p.get() == m;
                            }),
             list.end());
}

// Named mutexes: the same name yields the same object while any handle names it.
struct NamedMutexes {
  std::mutex lock;
  std::map<std::string, std::weak_ptr<MutexObject>> by_name;
};

NamedMutexes &named_mutexes() {
  static NamedMutexes *n = new NamedMutexes;
  return *n;
}

}  // namespace

namespace sim::internal {

void abandon_owned_mutexes() {
  DWORD me = current_thread_id();
  std::vector<std::weak_ptr<MutexObject>> list;
  list.swap(t_owned.list);
  for (auto &w : list)
    if (auto m = w.lock()) m->abandon_by(me);
}

}  // namespace sim::internal

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName) {
  (void)lpMutexAttributes;
  int n = sim::internal::count_mutex_create();
  int fail_at = sim::app_knobs().fail_mutex_create_at;
  if (fail_at > 0 && n == fail_at) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::shared_ptr<MutexObject> m;
  bool existed = false;
  if (lpName != nullptr && *lpName != '\0') {
    NamedMutexes &nm = named_mutexes();
    std::lock_guard<std::mutex> g(nm.lock);
    auto &slot = nm.by_name[lpName];
    m = slot.lock();
    existed = m != nullptr;
    if (!m) {
      m = std::make_shared<MutexObject>();
      slot = m;
    }
  } else {
    m = std::make_shared<MutexObject>();
  }
  if (bInitialOwner && !existed) m->take_initial(sim::internal::current_thread_id());
  HANDLE h = sim::handle_add(m);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

BOOL ReleaseMutex(HANDLE hMutex) {
  auto m = sim::handle_lookup_as<MutexObject>(hMutex);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return m->release();
}
