#include "platform/kernel/device_change.h"

#include <map>
#include <mutex>
#include <vector>

#include "platform/kernel/device_internal.h"

namespace vorn::kernel::device_change {
namespace {

struct Followers {
  std::mutex lock;
  std::map<int, Follower> followers;
  int next = 1;
};
Followers& F() {
  static auto* f = new Followers;
  return *f;
}

std::vector<Follower> Snapshot() {
  std::lock_guard<std::mutex> guard(F().lock);
  std::vector<Follower> out;
  for (auto& [id, f] : F().followers) out.push_back(f);
  return out;
}

}  // namespace

int Follow(Follower follower) {
  std::lock_guard<std::mutex> guard(F().lock);
  const int id = F().next++;
  F().followers[id] = std::move(follower);
  return id;
}

void Unfollow(int id) {
  std::lock_guard<std::mutex> guard(F().lock);
  F().followers.erase(id);
}

DEVICE_OBJECT* DeviceOfFile(FILE_OBJECT* file) {
  return file && file->DeviceObject ? internal::StackBottom(file->DeviceObject) : nullptr;
}

int OpenFiles(DEVICE_OBJECT* pdo) { return internal::Record(pdo)->open_files.load(); }

bool QueryRemove(DEVICE_OBJECT* pdo) {
  bool allowed = true;
  for (Follower& f : Snapshot())
    if (f.query_remove && !f.query_remove(pdo)) allowed = false;
  return allowed && OpenFiles(pdo) == 0;
}

void RemoveCancelled(DEVICE_OBJECT* pdo) {
  for (Follower& f : Snapshot())
    if (f.remove_cancelled) f.remove_cancelled(pdo);
}

}  // namespace vorn::kernel::device_change
