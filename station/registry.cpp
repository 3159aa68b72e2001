#include "station/registry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/kernel/registry.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/pool_tags.h"

namespace vorn::station {
namespace {

// A counted string's Length is 16 bits of bytes.
constexpr size_t kMaxCountedChars = 0xFFFE / 2;
// The partial-information record's fixed part before its data.
constexpr ULONG kPartialHeaderBytes = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
// The query buffer holds the caller's size and this much more: a value up to 4 bytes longer
// than asked for fits and is cut to the caller's size; a longer one is refused.
constexpr ULONG kQuerySlackBytes = 16;

size_t WideLength(const char16_t* text) {
  size_t n = 0;
  if (text)
    while (text[n]) ++n;
  return n;
}

bool IsEmpty(const UNICODE_STRING* s) { return !s || !s->Buffer || s->Length < 2; }

// An owned key path: root alone, or "root\subkey" in a paged-pool buffer.
class KeyPath {
 public:
  ~KeyPath() {
    if (buffer_) ExFreePoolWithTag(buffer_, kTagRegistry);
  }
  NTSTATUS Build(const UNICODE_STRING* root, const char16_t* subkey) {
    size_t root_chars = root->Length / 2;
    size_t sub_chars = WideLength(subkey);
    if (sub_chars == 0) {
      path_ = *root;
      path_.Length = static_cast<USHORT>(root_chars * 2);
      return STATUS_SUCCESS;
    }
    // "root\subkey" and its terminator: (root + subkey characters) * 2 + 4 bytes.
    if (root_chars + 1 + sub_chars > kMaxCountedChars) return STATUS_OBJECT_NAME_INVALID;
    size_t bytes = (root_chars + sub_chars) * 2 + 4;
    buffer_ = static_cast<char16_t*>(AllocatePool(PagedPool, bytes, kTagRegistry));
    if (!buffer_) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer_, root->Buffer, root_chars * 2);
    buffer_[root_chars] = u'\\';
    std::memcpy(buffer_ + root_chars + 1, subkey, sub_chars * 2);
    buffer_[root_chars + 1 + sub_chars] = 0;
    path_.Buffer = buffer_;
    path_.Length = static_cast<USHORT>((root_chars + 1 + sub_chars) * 2);
    path_.MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
  }
  UNICODE_STRING* get() { return &path_; }

 private:
  char16_t* buffer_ = nullptr;
  UNICODE_STRING path_{};
};

NTSTATUS OpenKey(UNICODE_STRING* path, bool create, HANDLE* key) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  if (create) {
    ULONG disposition = 0;
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                       &disposition);
  }
  return ZwOpenKey(key, KEY_READ, &attributes);
}

bool ValueName(const char16_t* name, UNICODE_STRING* out) {
  size_t chars = WideLength(name);
  if (chars == 0 || chars > kMaxCountedChars) return false;
  out->Buffer = const_cast<char16_t*>(name);
  out->Length = static_cast<USHORT>(chars * 2);
  out->MaximumLength = out->Length;
  return true;
}

NTSTATUS QueryValue(HANDLE key, UNICODE_STRING* name, ULONG size, void* data) {
  // size + 16 bytes, computed so a huge size cannot wrap.
  uint64_t buffer_bytes = uint64_t{size} + kQuerySlackBytes;
  if (buffer_bytes > 0xFFFFFFFFu) return STATUS_INVALID_PARAMETER;
  auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(
      AllocatePool(PagedPool, buffer_bytes, kTagRegistry));
  if (!info) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG result_bytes = 0;
  NTSTATUS status = ZwQueryValueKey(key, name, KeyValuePartialInformation, info,
                                    static_cast<ULONG>(buffer_bytes), &result_bytes);
  if (NT_SUCCESS(status)) {
    // Never copy more than the caller asked for, nor more than the record holds.
    uint64_t held = buffer_bytes - kPartialHeaderBytes;
    uint64_t n = std::min<uint64_t>({info->DataLength, size, held});
    std::memcpy(data, info->Data, n);
    status = STATUS_SUCCESS;
  }
  ExFreePoolWithTag(info, kTagRegistry);
  return status;
}

}  // namespace

NTSTATUS AccessRegistryValue(bool write, const UNICODE_STRING* root, const char16_t* subkey,
                             const char16_t* name, ULONG type, ULONG size, void* data) {
  UNICODE_STRING value_name;
  if (!ValueName(name, &value_name) || !data || size == 0) return STATUS_INVALID_PARAMETER;
  if (IsEmpty(root)) return STATUS_UNSUCCESSFUL;

  KeyPath path;
  NTSTATUS status = path.Build(root, subkey);
  if (!NT_SUCCESS(status)) return status;

  HANDLE key = nullptr;
  status = OpenKey(path.get(), write, &key);
  if (!NT_SUCCESS(status)) return status;
  if (write) {
    status = ZwSetValueKey(key, &value_name, 0, type, data, size);
  } else {
    status = QueryValue(key, &value_name, size, data);
  }
  ZwClose(key);
  return status;
}

NTSTATUS DeleteRegistryValue(const UNICODE_STRING* root, const char16_t* subkey,
                             const char16_t* name) {
  UNICODE_STRING value_name;
  if (!ValueName(name, &value_name)) return STATUS_INVALID_PARAMETER;
  if (IsEmpty(root)) return STATUS_UNSUCCESSFUL;

  KeyPath path;
  NTSTATUS status = path.Build(root, subkey);
  if (!NT_SUCCESS(status)) return status;

  HANDLE key = nullptr;
  status = OpenKey(path.get(), true, &key);
  if (!NT_SUCCESS(status)) return status;
  status = ZwDeleteValueKey(key, &value_name);
  ZwClose(key);
  return status;
}

NTSTATUS ReadParameter(const char16_t* name, ULONG type, ULONG size, void* data) {
  return AccessRegistryValue(false, &g_DriverServices->RegistryPath, kParametersKey, name, type,
                             size, data);
}

NTSTATUS WriteParameter(const char16_t* name, ULONG type, ULONG size, const void* data) {
  return AccessRegistryValue(true, &g_DriverServices->RegistryPath, kParametersKey, name, type,
                             size, const_cast<void*>(data));
}

void FormatStationKey(ULONG station_index, char16_t (&out)[kStationKeyChars]) {
  char narrow[kStationKeyChars];
  int n = std::snprintf(narrow, sizeof narrow, "Parameters\\%04X", station_index);
  for (int i = 0; i <= n; ++i) out[i] = static_cast<unsigned char>(narrow[i]);
}

NTSTATUS ReadStationValue(ULONG station_index, const char16_t* name, ULONG type, ULONG size,
                          void* data) {
  char16_t key[kStationKeyChars];
  FormatStationKey(station_index, key);
  return AccessRegistryValue(false, &g_DriverServices->RegistryPath, key, name, type, size,
                             data);
}

NTSTATUS WriteStationValue(ULONG station_index, const char16_t* name, ULONG type, ULONG size,
                           const void* data) {
  char16_t key[kStationKeyChars];
  FormatStationKey(station_index, key);
  return AccessRegistryValue(true, &g_DriverServices->RegistryPath, key, name, type, size,
                             const_cast<void*>(data));
}

NTSTATUS DeleteStationValue(ULONG station_index, const char16_t* name) {
  char16_t key[kStationKeyChars];
  FormatStationKey(station_index, key);
  return DeleteRegistryValue(&g_DriverServices->RegistryPath, key, name);
}

void FormatFirmwareKey(const UCHAR (&project_code)[kProjectCodeBytes],
                       char16_t (&out)[kFirmwareKeyChars]) {
  size_t n = 0;
  for (const char16_t* p = kFirmwareKey; *p; ++p) out[n++] = *p;
  out[n++] = u'\\';
  for (size_t i = 0; i < kProjectCodeBytes && project_code[i] && n + 1 < kFirmwareKeyChars; ++i)
    out[n++] = project_code[i];
  out[n] = 0;
}

NTSTATUS ReadFirmwareValue(const char16_t* firmware_key, const char16_t* name, ULONG type,
                           ULONG size, void* data) {
  return AccessRegistryValue(false, &g_DriverServices->RegistryPath, firmware_key, name, type,
                             size, data);
}

NTSTATUS WriteFirmwareValue(const char16_t* firmware_key, const char16_t* name, ULONG type,
                            ULONG size, const void* data) {
  return AccessRegistryValue(true, &g_DriverServices->RegistryPath, firmware_key, name, type,
                             size, const_cast<void*>(data));
}

}  // namespace vorn::station
