#include "platform/kernel/object.h"

#include <map>
#include <mutex>

#include "platform/kernel/violations.h"

namespace {

OBJECT_TYPE g_thread_type{"Thread"};
OBJECT_TYPE g_event_type{"Event"};
OBJECT_TYPE g_file_type{"File"};
OBJECT_TYPE g_device_type{"Device"};
POBJECT_TYPE g_thread_ptr = &g_thread_type;
POBJECT_TYPE g_event_ptr = &g_event_type;
POBJECT_TYPE g_file_ptr = &g_file_type;
POBJECT_TYPE g_device_ptr = &g_device_type;

struct Record {
  POBJECT_TYPE type;
  long refs;
  void (*destroy)(void*);
};

struct ObjectState {
  std::mutex lock;
  std::map<void*, Record> objects;
  std::map<uintptr_t, void*> handles;
  uintptr_t next_handle = 0x1000;
};

ObjectState& S() {
  static ObjectState* s = new ObjectState;
  return *s;
}

void DestroyEvent(void* p) { delete static_cast<KEVENT*>(p); }

}  // namespace

POBJECT_TYPE* PsThreadType = &g_thread_ptr;
POBJECT_TYPE* ExEventObjectType = &g_event_ptr;
POBJECT_TYPE* IoFileObjectType = &g_file_ptr;
POBJECT_TYPE* IoDeviceObjectType = &g_device_ptr;

using vorn::kernel::ReportViolation;

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE type,
                                   KPROCESSOR_MODE, PVOID* object,
                                   OBJECT_HANDLE_INFORMATION* info) {
  if (object) *object = nullptr;
  ObjectState& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto h = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (h == s.handles.end()) return STATUS_INVALID_HANDLE;
  auto o = s.objects.find(h->second);
  if (o == s.objects.end()) return STATUS_INVALID_HANDLE;
  if (type && o->second.type != type) return STATUS_OBJECT_TYPE_MISMATCH;
  ++o->second.refs;
  if (object) *object = h->second;
  if (info) *info = OBJECT_HANDLE_INFORMATION{0, 0x001F0003};
  return STATUS_SUCCESS;
}

void ObReferenceObject(PVOID object) {
  ObjectState& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto o = s.objects.find(object);
  if (o == s.objects.end()) {
    ReportViolation("reference to %p, which is not a kernel object", object);
    return;
  }
  ++o->second.refs;
}

void ObDereferenceObject(PVOID object) {
  void (*destroy)(void*) = nullptr;
  {
    ObjectState& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    auto o = s.objects.find(object);
    if (o == s.objects.end()) {
      ReportViolation("dereference of %p, which is not a kernel object (or is gone)", object);
      return;
    }
    if (--o->second.refs == 0) {
      destroy = o->second.destroy;
      s.objects.erase(o);
    }
  }
  if (destroy) destroy(object);
}

NTSTATUS ZwClose(HANDLE handle) {
  void* object;
  {
    ObjectState& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    auto h = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (h == s.handles.end()) return STATUS_INVALID_HANDLE;
    object = h->second;
    s.handles.erase(h);
  }
  ObDereferenceObject(object);
  return STATUS_SUCCESS;
}

namespace vorn::kernel {

KEVENT* CreateEventObject(EVENT_TYPE type, bool initial_state, HANDLE* handle) {
  auto* event = new KEVENT;
  KeInitializeEvent(event, type, initial_state);
  internal::RegisterObject(event, *ExEventObjectType, DestroyEvent);
  *handle = internal::CreateHandle(event);
  ObDereferenceObject(event);  // the handle holds it now
  return event;
}

size_t OpenHandleCount() {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().handles.size();
}

namespace internal {

void RegisterObject(void* object, POBJECT_TYPE type, void (*destroy)(void*)) {
  std::lock_guard<std::mutex> guard(S().lock);
  S().objects[object] = Record{type, 1, destroy};
}

bool IsRegistered(void* object) {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().objects.count(object) != 0;
}

HANDLE CreateHandle(void* object) {
  ObjectState& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto o = s.objects.find(object);
  if (o == s.objects.end()) return nullptr;
  ++o->second.refs;
  uintptr_t value = s.next_handle;
  s.next_handle += 4;
  s.handles[value] = object;
  return reinterpret_cast<HANDLE>(value);
}

void* LookupHandle(HANDLE handle, POBJECT_TYPE type) {
  ObjectState& s = S();
  std::lock_guard<std::mutex> guard(s.lock);
  auto h = s.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (h == s.handles.end()) return nullptr;
  auto o = s.objects.find(h->second);
  if (o == s.objects.end() || (type && o->second.type != type)) return nullptr;
  return h->second;
}

}  // namespace internal
}  // namespace vorn::kernel
