// The object manager: reference-counted kernel objects (threads, device and file objects,
// events handed out by handle, registry keys and open files) and the handle table.
#pragma once

#include "platform/kernel/sync.h"

struct OBJECT_TYPE {
  const char* Name;
};
using POBJECT_TYPE = OBJECT_TYPE*;

extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* IoDeviceObjectType;

struct OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
};

// Takes a reference to the object behind |handle|; STATUS_INVALID_HANDLE for an unknown
// handle, STATUS_OBJECT_TYPE_MISMATCH when |type| is given and differs.
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type,
                                   KPROCESSOR_MODE mode, PVOID* object,
                                   OBJECT_HANDLE_INFORMATION* info);
void ObReferenceObject(PVOID object);
void ObDereferenceObject(PVOID object);
inline void ObfReferenceObject(PVOID object) { ObReferenceObject(object); }
inline void ObfDereferenceObject(PVOID object) { ObDereferenceObject(object); }
NTSTATUS ZwClose(HANDLE handle);

namespace vorn::kernel {

// An event object reachable by handle, as the user-mode side creates one and hands its
// handle to a driver. The returned event stays valid while the handle or a reference lives.
KEVENT* CreateEventObject(EVENT_TYPE type, bool initial_state, HANDLE* handle);
// Handles open now (a test can check that a driver closed every handle it opened).
size_t OpenHandleCount();

namespace internal {
// Registers |object| with one reference; |destroy| runs when the last one goes.
void RegisterObject(void* object, POBJECT_TYPE type, void (*destroy)(void*));
bool IsRegistered(void* object);
HANDLE CreateHandle(void* object);  // takes a reference for the handle
// The object behind |handle| when it has |type| (no reference taken), else null.
void* LookupHandle(HANDLE handle, POBJECT_TYPE type);
}  // namespace internal

}  // namespace vorn::kernel
