#include "platform/umdf/object.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace vorn::umdf {
namespace {

// One registry for every host of the process: handles of one host may reach another host's
// table (a plug-in keeps the last table it was given), so objects are found by address alone.
struct Registry {
  std::mutex lock;
  std::unordered_set<const Object*> objects;
  std::unordered_map<const WDF_DRIVER_GLOBALS*, HostState*> globals;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // outlives every static host
  return *registry;
}

void CollectPostOrder(Object* object, std::vector<Object*>* order) {
  for (Object* child : object->children()) CollectPostOrder(child, order);
  order->push_back(object);
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kDriver:
      return "WDFDRIVER";
    case Kind::kDevice:
      return "WDFDEVICE";
    case Kind::kUsbDevice:
      return "WDFUSBDEVICE";
    case Kind::kInterface:
      return "WDFUSBINTERFACE";
    case Kind::kPipe:
      return "WDFUSBPIPE";
    case Kind::kRequest:
      return "WDFREQUEST";
    case Kind::kMemory:
      return "WDFMEMORY";
    case Kind::kWaitLock:
      return "WDFWAITLOCK";
    case Kind::kKey:
      return "WDFKEY";
  }
  return "object";
}

Object::Object(HostState* host, Kind kind, bool caller_owned)
    : host_(host), kind_(kind), caller_owned_(caller_owned) {}

void Trap(const char* format, ...) {
  std::fflush(stdout);
  std::fputs("umdf: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

void Register(Object* object, Object* parent) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  object->parent_ = parent;
  if (parent != nullptr) parent->children_.push_back(object);
  registry.objects.insert(object);
}

void DeleteTree(Object* root) {
  Registry& registry = TheRegistry();
  std::vector<Object*> order;
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    CollectPostOrder(root, &order);
  }
  // Stop what runs (readers) while every handle of the subtree is still live.
  for (Object* object : order) object->Shutdown();
  {
    std::lock_guard<std::mutex> guard(registry.lock);
    // Children created during the shutdown would be lost: collect again under the lock.
    order.clear();
    CollectPostOrder(root, &order);
    for (Object* object : order) registry.objects.erase(object);
    if (Object* parent = root->parent_) {
      auto& siblings = parent->children_;
      siblings.erase(std::remove(siblings.begin(), siblings.end(), root), siblings.end());
    }
  }
  for (Object* object : order) delete object;
}

size_t CountCallerOwned(const HostState* host) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  return static_cast<size_t>(
      std::count_if(registry.objects.begin(), registry.objects.end(),
                    [host](const Object* o) { return o->host() == host && o->caller_owned(); }));
}

Object* Lookup(const void* handle) {
  if (handle == nullptr) return nullptr;
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto found = registry.objects.find(static_cast<const Object*>(handle));
  return found == registry.objects.end() ? nullptr : const_cast<Object*>(*found);
}

Object* ResolveIoTarget(const void* handle, const char* operation) {
  Object* object = Lookup(handle);
  if (object == nullptr) Trap("%s: %p is not a live WDF object", operation, handle);
  if (object->kind() != Kind::kPipe && object->kind() != Kind::kUsbDevice)
    Trap("%s: %p is a %s, not an I/O target", operation, handle, KindName(object->kind()));
  return object;
}

HostState* CheckGlobals(const WDF_DRIVER_GLOBALS* globals, const char* operation) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto found = registry.globals.find(globals);
  if (found == registry.globals.end())
    Trap("%s: %p are not the driver globals of a live host", operation,
         static_cast<const void*>(globals));
  return found->second;
}

void RegisterGlobals(const WDF_DRIVER_GLOBALS* globals, HostState* host) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.globals[globals] = host;
}

void UnregisterGlobals(const WDF_DRIVER_GLOBALS* globals) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.globals.erase(globals);
}

NTSTATUS ParentFrom(const WDF_OBJECT_ATTRIBUTES* attributes, Object* fallback,
                    const char* operation, Object** parent) {
  *parent = fallback;
  if (attributes == nullptr) return STATUS_SUCCESS;
  if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) return STATUS_INFO_LENGTH_MISMATCH;
  if (attributes->ParentObject == nullptr) return STATUS_SUCCESS;
  Object* named = Lookup(attributes->ParentObject);
  if (named == nullptr)
    Trap("%s: parent %p is not a live WDF object", operation, attributes->ParentObject);
  *parent = named;
  return STATUS_SUCCESS;
}

}  // namespace vorn::umdf
