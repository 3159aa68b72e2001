#include "platform/win32/device_notify.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32/kernel_link.h"
#include "platform/win32/debug_output.h"
#include "platform/win32/file_api.h"
#include "platform/win32/setupapi.h"

namespace vorn::win32::device_change {
namespace {

struct Registration {
  HDEVNOTIFY id;
  HWND window;
  bool for_handle;
  bool all_classes;
  GUID guid;                  // interface registrations
  HANDLE handle;              // handle registrations
  kernel_link::Device pdo;         // the device behind |handle|, referenced while registered
  bool removed = false;       // handle registrations: remove-complete sent (once)
};

struct State {
  std::mutex lock;
  std::vector<Registration> registrations;
  uintptr_t next = 0x30000;
  bool following = false;
  // The broadcast thread's work.
  std::condition_variable changed;
  std::deque<std::function<void()>> jobs;
  bool busy = false;
};

// Never destroyed: the broadcast thread runs until the process ends.
State& S() {
  static auto* s = new State;
  return *s;
}

bool Registered(HDEVNOTIFY id) {
  std::lock_guard<std::mutex> guard(S().lock);
  return std::any_of(S().registrations.begin(), S().registrations.end(),
                     [&](const Registration& r) { return r.id == id; });
}

void BroadcastThread() {
  State& s = S();
  std::unique_lock<std::mutex> lock(s.lock);
  for (;;) {
    s.changed.wait(lock, [&] { return !s.jobs.empty(); });
    std::function<void()> job = std::move(s.jobs.front());
    s.jobs.pop_front();
    s.busy = true;
    lock.unlock();
    job();
    lock.lock();
    s.busy = false;
    s.changed.notify_all();
  }
}

void Queue(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> guard(S().lock);
    S().jobs.push_back(std::move(job));
  }
  S().changed.notify_all();
}

// A broadcast record in storage aligned for its fields.
template <class T>
struct Record {
  explicit Record(size_t bytes) : words((std::max(bytes, sizeof(T)) + 7) / 8, 0) {}
  T* get() { return reinterpret_cast<T*>(words.data()); }
  std::vector<uint64_t> words;
};

void SendInterface(const Registration& r, WPARAM event, const GUID& guid, const std::u16string& name) {
  const size_t bytes = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(WCHAR);
  Record<DEV_BROADCAST_DEVICEINTERFACE_W> b(bytes);
  DEV_BROADCAST_DEVICEINTERFACE_W* d = b.get();
  d->dbcc_size = static_cast<DWORD>(bytes);
  d->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  d->dbcc_classguid = guid;
  std::memcpy(reinterpret_cast<char*>(d) + offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name),
              name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  SendMessageW(r.window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(d));
}

LRESULT SendHandle(const Registration& r, WPARAM event) {
  Record<DEV_BROADCAST_HANDLE> b(sizeof(DEV_BROADCAST_HANDLE));
  DEV_BROADCAST_HANDLE* d = b.get();
  d->dbch_size = sizeof(DEV_BROADCAST_HANDLE);
  d->dbch_devicetype = DBT_DEVTYP_HANDLE;
  d->dbch_handle = r.handle;
  d->dbch_hdevnotify = r.id;
  d->dbch_nameoffset = -1;
  return SendMessageW(r.window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(d));
}

std::vector<Registration> Matching(const std::function<bool(const Registration&)>& test) {
  std::lock_guard<std::mutex> guard(S().lock);
  std::vector<Registration> out;
  for (const Registration& r : S().registrations)
    if (test(r)) out.push_back(r);
  return out;
}

// The handle registrations of the device |link| belongs to that have not heard of its
// removal yet, marked as told: a device with several interfaces tells each owner once.
std::vector<Registration> RemovedHandleOwners(const WString& link) {
  std::vector<Registration> owners;
  for (const Registration& r : Matching([](const Registration& r) { return r.for_handle && !r.removed; }))
    if (kernel_link::LinkOfDevice(link, r.pdo)) owners.push_back(r);
  std::lock_guard<std::mutex> guard(S().lock);
  for (Registration& r : S().registrations)
    for (const Registration& o : owners)
      if (r.id == o.id) r.removed = true;
  return owners;
}

void InterfaceChanged(const GUID& guid, const WString& link, bool arrived) {
  const std::u16string name = setup::UserPath(link);
  // The kernel takes a device's interfaces away when it is removed, orderly or by surprise:
  // the owners of handle registrations for it hear DBT_DEVICEREMOVECOMPLETE of their handle.
  std::vector<Registration> owners;
  if (!arrived) owners = RemovedHandleOwners(link);
  Queue([guid, name, arrived, owners] {
    auto targets = Matching([&](const Registration& r) { return !r.for_handle && (r.all_classes || r.guid == guid); });
    for (const Registration& r : targets)
      if (Registered(r.id)) SendInterface(r, arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, guid, name);
    for (const Registration& r : owners)
      if (Registered(r.id)) SendHandle(r, DBT_DEVICEREMOVECOMPLETE);
  });
}

bool QueryRemove(kernel_link::Device pdo) {
  bool allowed = true;
  for (const Registration& r : Matching([&](const Registration& r) { return r.for_handle && r.pdo == pdo; }))
    if (Registered(r.id) && SendHandle(r, DBT_DEVICEQUERYREMOVE) == BROADCAST_QUERY_DENY) allowed = false;
  return allowed;
}

void RemoveCancelled(kernel_link::Device pdo) {
  auto targets = Matching([&](const Registration& r) { return r.for_handle && r.pdo == pdo; });
  if (targets.empty()) return;
  Queue([targets] {
    for (const Registration& r : targets)
      if (Registered(r.id)) SendHandle(r, DBT_DEVICEQUERYREMOVEFAILED);
  });
}

// Follows the kernel from the first registration on.
void Follow() {
  {
    std::lock_guard<std::mutex> guard(S().lock);
    if (S().following) return;
    S().following = true;
  }
  std::thread(BroadcastThread).detach();
  kernel_link::FollowInterfaces(InterfaceChanged);
  kernel_link::FollowRemovals(QueryRemove, RemoveCancelled);
}

// The device behind a handle to one; null when |handle| is not such a handle.
kernel_link::Device DeviceOfHandle(HANDLE handle) {
  void* file = KernelFileOfHandle(handle);
  return file ? kernel_link::DeviceOfFile(file) : nullptr;
}

}  // namespace

size_t Registrations() {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().registrations.size();
}

void WaitDelivered() {
  std::unique_lock<std::mutex> lock(S().lock);
  S().changed.wait(lock, [] { return S().jobs.empty() && !S().busy; });
}

}  // namespace vorn::win32::device_change

namespace dc = vorn::win32::device_change;

HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
  const HWND window = static_cast<HWND>(recipient);
  if ((flags & ~DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != DEVICE_NOTIFY_WINDOW_HANDLE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!IsWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
  dc::Registration r{};
  r.window = window;
  if (header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
      header->dbch_size >= sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)) {
    r.guid = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(filter)->dbcc_classguid;
    r.all_classes = (flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
  } else if (header && header->dbch_devicetype == DBT_DEVTYP_HANDLE &&
             header->dbch_size >= sizeof(DEV_BROADCAST_HANDLE) && !(flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) {
    r.for_handle = true;
    r.handle = static_cast<const DEV_BROADCAST_HANDLE*>(filter)->dbch_handle;
    r.pdo = dc::DeviceOfHandle(r.handle);
    if (!r.pdo) return nullptr;
    vorn::win32::kernel_link::ReferenceDevice(r.pdo);
  } else {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  dc::Follow();
  std::lock_guard<std::mutex> guard(dc::S().lock);
  dc::S().next += 4;
  r.id = reinterpret_cast<HDEVNOTIFY>(dc::S().next);
  dc::S().registrations.push_back(r);
  return r.id;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
  vorn::win32::kernel_link::Device pdo = nullptr;
  {
    std::lock_guard<std::mutex> guard(dc::S().lock);
    auto& regs = dc::S().registrations;
    auto it = std::find_if(regs.begin(), regs.end(), [&](const dc::Registration& r) { return r.id == notification; });
    if (it == regs.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    pdo = it->pdo;
    regs.erase(it);
  }
  if (pdo) vorn::win32::kernel_link::DereferenceDevice(pdo);
  return TRUE;
}
