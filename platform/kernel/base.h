// Basic kernel-mode types: interrupt request levels, processor modes, pool types, counted
// strings, object attributes and the I/O status block. Every other kernel header builds on it.
#pragma once

#include "platform/nt/status.h"
#include "platform/nt/types.h"

using KIRQL = UCHAR;
using CCHAR = char;
using CSHORT = int16_t;
using KPRIORITY = LONG;
using PHANDLE = HANDLE*;
using PUCHAR = UCHAR*;
using PULONG = ULONG*;

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

enum KPROCESSOR_MODE : CCHAR { KernelMode = 0, UserMode = 1 };

// Pool types. The zeroing flag may be ORed into any of them; every block it gives is zeroed.
using POOL_TYPE = ULONG;
constexpr POOL_TYPE NonPagedPool = 0;
constexpr POOL_TYPE PagedPool = 1;
constexpr POOL_TYPE NonPagedPoolNx = 0x200;
constexpr POOL_TYPE POOL_ZERO_ALLOCATION = 0x400;

struct IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;
static_assert(sizeof(IO_STATUS_BLOCK) == 16);

// Object attribute flags and the attributes record of every open or create.
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;

struct OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48);

inline void InitializeObjectAttributes(OBJECT_ATTRIBUTES* oa, PUNICODE_STRING name,
                                       ULONG attributes, HANDLE root, PVOID security) {
  oa->Length = sizeof(OBJECT_ATTRIBUTES);
  oa->RootDirectory = root;
  oa->ObjectName = name;
  oa->Attributes = attributes;
  oa->SecurityDescriptor = security;
  oa->SecurityQualityOfService = nullptr;
}

// Access rights.
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0x000F003F;
constexpr ACCESS_MASK KEY_WRITE = 0x00020006;
constexpr ACCESS_MASK THREAD_ALL_ACCESS = 0x001FFFFF;
constexpr ACCESS_MASK EVENT_MODIFY_STATE = 0x0002;
constexpr ACCESS_MASK EVENT_ALL_ACCESS = 0x001F0003;

// Counted strings.
void RtlInitUnicodeString(UNICODE_STRING* dest, const WCHAR* source);
// Copies as much of |source| as fits into |dest|'s buffer; Length becomes the bytes copied.
void RtlCopyUnicodeString(UNICODE_STRING* dest, const UNICODE_STRING* source);
bool RtlEqualUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b,
                           BOOLEAN case_insensitive);
// Frees a string whose buffer the kernel allocated (interface links, device properties).
void RtlFreeUnicodeString(UNICODE_STRING* s);
// Length in characters of |text|, at most |max| characters; STATUS_INVALID_PARAMETER when
// no terminator is found within |max| characters or |text| is null.
NTSTATUS RtlStringCchLengthW(const WCHAR* text, SIZE_T max, SIZE_T* length);

// Counted-string helpers for the stand-ins and tests.
WString ToWString(const UNICODE_STRING& s);
WString ToWString(std::string_view ascii);
std::string ToNarrow(WStringView w);
WString UpperCase(WStringView w);
bool EqualNoCase(WStringView a, WStringView b);

// The operating system version the kernel reports.
struct RTL_OSVERSIONINFOW {
  ULONG dwOSVersionInfoSize;
  ULONG dwMajorVersion;
  ULONG dwMinorVersion;
  ULONG dwBuildNumber;
  ULONG dwPlatformId;
  WCHAR szCSDVersion[128];
};
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276);
struct RTL_OSVERSIONINFOEXW : RTL_OSVERSIONINFOW {
  USHORT wServicePackMajor;
  USHORT wServicePackMinor;
  USHORT wSuiteMask;
  UCHAR wProductType;
  UCHAR wReserved;
};
static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284);

NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* info);
// Looks a kernel routine up by name ("RtlGetVersion"); null when this kernel has none by it.
PVOID MmGetSystemRoutineAddress(UNICODE_STRING* name);
BOOLEAN IoIsWdmVersionAvailable(UCHAR major, UCHAR minor);

namespace vorn::kernel {
// Sets the version the kernel reports (default 10.0 build 19045). With |has_get_version|
// false, RtlGetVersion cannot be found by name and only the WDM probe answers.
void SetOsVersion(ULONG major, ULONG minor, ULONG build, bool has_get_version = true);
}  // namespace vorn::kernel
