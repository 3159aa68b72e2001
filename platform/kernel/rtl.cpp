// Counted strings, version queries and routine look-up.
#include <atomic>
#include <cstring>

#include "platform/kernel/base.h"
#include "platform/kernel/pool.h"

namespace {

struct OsVersion {
  std::atomic<ULONG> major{10}, minor{0}, build{19045};
  std::atomic<bool> has_get_version{true};
};
OsVersion& Version() {
  static OsVersion v;
  return v;
}

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? c - 32 : c; }

}  // namespace

void RtlInitUnicodeString(UNICODE_STRING* dest, const WCHAR* source) {
  size_t n = 0;
  if (source)
    while (source[n]) ++n;
  dest->Buffer = const_cast<WCHAR*>(source);
  dest->Length = static_cast<USHORT>(n * 2);
  dest->MaximumLength = source ? static_cast<USHORT>(n * 2 + 2) : 0;
}

void RtlCopyUnicodeString(UNICODE_STRING* dest, const UNICODE_STRING* source) {
  if (!source || !source->Buffer) {
    dest->Length = 0;
    return;
  }
  USHORT n = std::min(source->Length, dest->MaximumLength);
  n &= ~1;
  std::memmove(dest->Buffer, source->Buffer, n);
  dest->Length = n;
  if (n + 2 <= dest->MaximumLength) dest->Buffer[n / 2] = 0;
}

bool RtlEqualUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b,
                           BOOLEAN case_insensitive) {
  if (a->Length != b->Length) return false;
  for (size_t i = 0; i < a->Length / 2u; ++i) {
    char16_t x = a->Buffer[i], y = b->Buffer[i];
    if (case_insensitive ? Upper(x) != Upper(y) : x != y) return false;
  }
  return true;
}

void RtlFreeUnicodeString(UNICODE_STRING* s) {
  if (s->Buffer) ExFreePool(s->Buffer);
  s->Buffer = nullptr;
  s->Length = s->MaximumLength = 0;
}

NTSTATUS RtlStringCchLengthW(const WCHAR* text, SIZE_T max, SIZE_T* length) {
  if (length) *length = 0;
  if (!text) return STATUS_INVALID_PARAMETER;
  for (SIZE_T i = 0; i < max; ++i) {
    if (text[i] == 0) {
      if (length) *length = i;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

WString ToWString(const UNICODE_STRING& s) {
  if (!s.Buffer) return {};
  return WString(s.Buffer, s.Length / 2);
}

WString ToWString(std::string_view ascii) {
  WString w;
  for (char c : ascii) w.push_back(static_cast<unsigned char>(c));
  return w;
}

std::string ToNarrow(WStringView w) {
  std::string s;
  for (char16_t c : w) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return s;
}

WString UpperCase(WStringView w) {
  WString out(w);
  for (auto& c : out) c = Upper(c);
  return out;
}

bool EqualNoCase(WStringView a, WStringView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* info) {
  if (!info) return STATUS_INVALID_PARAMETER;
  ULONG size = info->dwOSVersionInfoSize;
  if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW))
    return STATUS_INVALID_PARAMETER;
  std::memset(reinterpret_cast<char*>(info) + 4, 0, size - 4);
  info->dwMajorVersion = Version().major;
  info->dwMinorVersion = Version().minor;
  info->dwBuildNumber = Version().build;
  info->dwPlatformId = 2;
  return STATUS_SUCCESS;
}

PVOID MmGetSystemRoutineAddress(UNICODE_STRING* name) {
  if (!name) return nullptr;
  if (EqualNoCase(ToWString(*name), u"RtlGetVersion") && Version().has_get_version)
    return reinterpret_cast<PVOID>(&RtlGetVersion);
  return nullptr;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR major, UCHAR minor) {
  // The WDM level each system version offers.
  ULONG os = Version().major << 8 | Version().minor;
  uint16_t wdm;
  if (os >= 0x600)
    wdm = 0x600;
  else if (os >= 0x502)
    wdm = 0x130;
  else if (os >= 0x501)
    wdm = 0x120;
  else if (os >= 0x500)
    wdm = 0x110;
  else
    wdm = 0x105;
  return (major << 8 | minor) <= wdm;
}

namespace vorn::kernel {
void SetOsVersion(ULONG major, ULONG minor, ULONG build, bool has_get_version) {
  Version().major = major;
  Version().minor = minor;
  Version().build = build;
  Version().has_get_version = has_get_version;
}
}  // namespace vorn::kernel
