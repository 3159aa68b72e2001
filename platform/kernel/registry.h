// The registry: keys named by full paths
// ("\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<service>\Parameters"), compared without regard to case; typed values; the open,
// create, query, set and delete calls a driver makes with their buffer-length statuses; and
// for tests direct access to values and a history of every write.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/object.h"

constexpr ULONG REG_OPTION_NON_VOLATILE = 0;
constexpr ULONG REG_OPTION_VOLATILE = 1;
constexpr ULONG REG_CREATED_NEW_KEY = 1;
constexpr ULONG REG_OPENED_EXISTING_KEY = 2;

enum KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation = 0,
  KeyValueFullInformation = 1,
  KeyValuePartialInformation = 2,
};

struct KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength;
  WCHAR Name[1];
};
struct KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;
  ULONG DataLength;
  ULONG NameLength;
  WCHAR Name[1];
};
struct KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
};
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);

// Creates the last component of the path (its parent must exist, else
// STATUS_OBJECT_NAME_NOT_FOUND) or opens it. |disposition| may be null.
NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                     ULONG title_index, PUNICODE_STRING class_name, ULONG options,
                     ULONG* disposition);
NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes);
NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG title_index, ULONG type,
                       PVOID data, ULONG size);
// STATUS_BUFFER_TOO_SMALL when not even the fixed part fits, STATUS_BUFFER_OVERFLOW (fixed
// part filled) when the rest does not; |result_length| is always the size needed.
NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS cls,
                         PVOID buffer, ULONG length, ULONG* result_length);
NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING name);
NTSTATUS ZwDeleteKey(HANDLE key);

namespace vorn::kernel::registry {

// The machine's fixed roots.
inline constexpr char16_t kServicesPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";
inline constexpr char16_t kEnumPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum";

struct Value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct Write {
  enum Kind { kSetValue, kDeleteValue, kCreateKey, kDeleteKey } kind;
  WString key;   // the key's path as first created
  WString name;  // value name (empty for key operations)
  Value value;   // kSetValue only
};

// Creates |path| and every missing parent. Not recorded in the history.
void CreateKey(WStringView path);
bool KeyExists(WStringView path);
// Sets a value, creating the key and its parents. Not recorded in the history.
void SetValue(WStringView path, WStringView name, ULONG type, const void* data, size_t size);
void SetDword(WStringView path, WStringView name, ULONG value);
void SetString(WStringView path, WStringView name, WStringView text);  // REG_SZ, terminated
bool GetValue(WStringView path, WStringView name, Value* out);
// The value as a u32 (false unless it exists with 4 bytes) / as text without its terminator.
bool GetDword(WStringView path, WStringView name, ULONG* out);
bool GetString(WStringView path, WStringView name, WString* out);
void DeleteValue(WStringView path, WStringView name);
// Value names of a key, in their original case.
std::vector<WString> ValueNames(WStringView path);

// Writes made through the Zw calls since the last clear, oldest first.
std::vector<Write> History();
void ClearHistory();
// Makes every Zw write under keys starting with |prefix| fail with |status| (0 clears).
void FailWritesUnder(WStringView prefix, NTSTATUS status);
// Removes every key except the fixed roots and clears the history.
void Reset();

}  // namespace vorn::kernel::registry
