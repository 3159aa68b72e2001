// The host's WDF objects: one base with a kind, an owning host and a parent, kept in a
// process-wide registry so a handle is checked against the live objects before it is used.
//
// A handle is the object's address. Deleting an object deletes its children first; an
// object whose kind has work to stop (a pipe's continuous reader) stops it before anything
// of the subtree leaves the registry, so callbacks still running see live handles.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/umdf/wdf.h"

namespace vorn::umdf {

class HostState;

enum class Kind {
  kDriver,
  kDevice,
  kUsbDevice,
  kInterface,
  kPipe,
  kRequest,
  kMemory,
  kWaitLock,
  kKey,
};
const char* KindName(Kind kind);

class Object {
 public:
  Object(HostState* host, Kind kind, bool caller_owned);
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  HostState* host() const { return host_; }
  Kind kind() const { return kind_; }
  // Objects the caller created and may delete (framework-owned ones are not).
  bool caller_owned() const { return caller_owned_; }
  Object* parent() const { return parent_; }
  // Read only under the registry's lock (object.cpp).
  const std::vector<Object*>& children() const { return children_; }

  // Called on every object of a subtree before any of it is removed.
  virtual void Shutdown() {}

 private:
  friend void Register(Object* object, Object* parent);
  friend void DeleteTree(Object* root);
  friend size_t CountCallerOwned(const HostState* host);

  HostState* host_;
  Kind kind_;
  bool caller_owned_;
  Object* parent_ = nullptr;
  std::vector<Object*> children_;
};

// Prints "umdf: <message>" and aborts: a programming fault of the caller (bad handle,
// unserved slot or feature, lock released that is not held).
[[noreturn]] void Trap(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Makes |object| live under |parent| (null only for the roots: driver and device).
void Register(Object* object, Object* parent);
// Shuts down, unregisters and destroys |root| and its subtree, children first.
void DeleteTree(Object* root);
size_t CountCallerOwned(const HostState* host);

// The live object |handle| names, or null.
Object* Lookup(const void* handle);

// The live object of |kind| that |handle| names; traps naming |operation| otherwise.
template <class T>
T* Resolve(const void* handle, Kind kind, const char* operation) {
  Object* object = Lookup(handle);
  if (object == nullptr) Trap("%s: %p is not a live WDF object", operation, handle);
  if (object->kind() != kind)
    Trap("%s: %p is a %s, not a %s", operation, handle, KindName(object->kind()), KindName(kind));
  return static_cast<T*>(object);
}

// A pipe or a USB target device: the two I/O targets of the host.
Object* ResolveIoTarget(const void* handle, const char* operation);

// The host whose driver globals |globals| are; traps when it is no live host's.
HostState* CheckGlobals(const WDF_DRIVER_GLOBALS* globals, const char* operation);
void RegisterGlobals(const WDF_DRIVER_GLOBALS* globals, HostState* host);
void UnregisterGlobals(const WDF_DRIVER_GLOBALS* globals);

// The parent named by |attributes| (or |fallback| without one) into |*parent|; the new
// object then belongs to the parent's host. A wrong Size gives STATUS_INFO_LENGTH_MISMATCH;
// a parent that is no live object traps.
NTSTATUS ParentFrom(const WDF_OBJECT_ATTRIBUTES* attributes, Object* fallback,
                    const char* operation, Object** parent);

template <class H>
H HandleOf(Object* object) {
  return reinterpret_cast<H>(object);
}

}  // namespace vorn::umdf
