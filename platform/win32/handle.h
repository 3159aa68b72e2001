// The process handle table: every handle the user-mode services hand out (threads, events,
// and later files and devices) names one typed object in it. CloseHandle removes the entry
// and tells the object through its virtual Close; the object itself lives on while any
// operation still holds a reference (a thread still running, a wait in progress).
//
// Waitable objects share one process-wide wait lock: signalling, resetting and testing a
// signal state happen under it, so a wait on several objects sees one consistent picture
// and picks the lowest signalled index. New kinds of objects derive from Object (or
// WaitableObject) and insert themselves with InsertObject.
#pragma once

#include <memory>
#include <mutex>

#include "platform/win32/types.h"

// Closes a handle of any kind. FALSE with ERROR_INVALID_HANDLE for null, INVALID_HANDLE_VALUE,
// an unknown or an already closed handle.
BOOL CloseHandle(HANDLE handle);

namespace vorn::win32 {

enum class ObjectType : uint32_t {
  kThread = 1,
  kEvent = 2,
};

class Object {
 public:
  virtual ~Object() = default;
  virtual ObjectType Type() const = 0;
  // Called once, when the object's handle is closed. A false result makes CloseHandle fail
  // (the handle is gone either way); the last error is the object's to set.
  virtual bool Close() { return true; }

 protected:
  Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
};

// An object a thread can wait for. Both methods are called with the wait lock held.
class WaitableObject : public Object {
 public:
  virtual bool IsSignalled() const = 0;
  // The wait on this object was satisfied: an auto-reset event clears itself here.
  virtual void Satisfy() {}
};

// The process-wide wait lock. Change a signal state only while holding it, then call
// NotifyWaiters (with or without the lock) so that waiting threads test their objects again.
std::mutex& WaitLock();
void NotifyWaiters();

// Enters |object| in the table and returns its new handle (null when the table is out of
// handle values, with ERROR_NOT_ENOUGH_MEMORY).
HANDLE InsertObject(std::shared_ptr<Object> object);

// The object behind |handle|, or null with ERROR_INVALID_HANDLE.
std::shared_ptr<Object> ReferenceObject(HANDLE handle);

// The object behind |handle| when it is of type T, else null with ERROR_INVALID_HANDLE.
template <class T>
std::shared_ptr<T> ReferenceObjectAs(HANDLE handle) {
  std::shared_ptr<Object> object = ReferenceObject(handle);
  if (object == nullptr) return nullptr;
  std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(object);
  if (typed == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return typed;
}

// Number of open handles, for tests that check nothing is left open.
size_t OpenHandleCount();

}  // namespace vorn::win32
