// Base types shared by every stand-in and deliverable: the fixed-width integer names the
// platform code uses, wide strings, GUIDs and doubly linked list entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

using NTSTATUS = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using USHORT = uint16_t;
using SHORT = int16_t;
using UCHAR = uint8_t;
using CHAR = char;
using BOOLEAN = uint8_t;
using ULONGLONG = uint64_t;
using LONGLONG = int64_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using PVOID = void*;
using WCHAR = char16_t;
using HRESULT = int32_t;
using DWORD = uint32_t;
using WORD = uint16_t;
using BYTE = uint8_t;
using BOOL = int32_t;
using HANDLE = void*;

#define TRUE 1
#define FALSE 0

// Wide strings are UTF-16 code units throughout.
using WString = std::u16string;
using WStringView = std::u16string_view;

union LARGE_INTEGER {
  struct {
    uint32_t LowPart;
    int32_t HighPart;
  } u;
  int64_t QuadPart;
};
static_assert(sizeof(LARGE_INTEGER) == 8);

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];

  friend bool operator==(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
  }
};
static_assert(sizeof(GUID) == 16);

// Formats a GUID the way the registry and interface paths show it:
// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper-case hex.
std::string GuidToString(const GUID& g);
WString GuidToWString(const GUID& g);
// Parses the braced form above (either case); false on anything else.
bool GuidFromString(std::string_view text, GUID* out);

struct LIST_ENTRY {
  LIST_ENTRY* Flink;
  LIST_ENTRY* Blink;
};

inline void InitializeListHead(LIST_ENTRY* head) { head->Flink = head->Blink = head; }
inline bool IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry) {
  entry->Flink = head;
  entry->Blink = head->Blink;
  head->Blink->Flink = entry;
  head->Blink = entry;
}
inline void InsertHeadList(LIST_ENTRY* head, LIST_ENTRY* entry) {
  entry->Flink = head->Flink;
  entry->Blink = head;
  head->Flink->Blink = entry;
  head->Flink = entry;
}
inline bool RemoveEntryList(LIST_ENTRY* entry) {
  LIST_ENTRY* next = entry->Flink;
  LIST_ENTRY* prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
inline LIST_ENTRY* RemoveHeadList(LIST_ENTRY* head) {
  LIST_ENTRY* entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline LIST_ENTRY* RemoveTailList(LIST_ENTRY* head) {
  LIST_ENTRY* entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}

// Counted wide string of the platform interfaces; Length and MaximumLength count bytes.
struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  WCHAR* Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;
static_assert(sizeof(UNICODE_STRING) == 2 * sizeof(void*));

using ACCESS_MASK = uint32_t;
using LCID = uint32_t;

// Registry value types and the read access right.
constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_QWORD = 11;
constexpr ACCESS_MASK KEY_READ = 0x00020019;

// The most objects one wait can name, in kernel and in user mode.
constexpr ULONG MAXIMUM_WAIT_OBJECTS = 64;

// Access rights and sharing of a file or device open, the same for kernel and user mode.
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ULONG FILE_SHARE_READ = 0x1;
constexpr ULONG FILE_SHARE_WRITE = 0x2;

#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))
