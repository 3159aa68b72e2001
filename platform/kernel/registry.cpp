#include "platform/kernel/registry.h"

#include <cstring>
#include <map>
#include <mutex>

#include "platform/kernel/violations.h"

namespace vorn::kernel::registry {
namespace {

struct Key {
  WString path;  // as first created
  std::map<WString, std::pair<WString, Value>> values;  // upper name -> (name, value)
};

OBJECT_TYPE g_key_type{"Key"};

struct KeyHandle {
  WString path;  // upper-case
};

struct Registry {
  std::mutex lock;
  std::map<WString, Key> keys;  // upper-case path -> key
  std::vector<Write> history;
  WString fail_prefix;
  NTSTATUS fail_status = 0;
};

void CreateLocked(Registry& r, WStringView path);

Registry& R() {
  static Registry* r = [] {
    auto* reg = new Registry;
    CreateLocked(*reg, kServicesPath);
    CreateLocked(*reg, kEnumPath);
    return reg;
  }();
  return *r;
}

WString Parent(WStringView upper) {
  size_t slash = upper.rfind(u'\\');
  return slash == WStringView::npos || slash == 0 ? WString() : WString(upper.substr(0, slash));
}

WString Canonical(WStringView path) {
  WString p(path);
  while (p.size() > 1 && p.back() == u'\\') p.pop_back();
  return p;
}

void CreateLocked(Registry& r, WStringView path) {
  WString p = Canonical(path);
  WString up = UpperCase(p);
  if (r.keys.count(up)) return;
  WString parent = Parent(up);
  if (!parent.empty()) CreateLocked(r, p.substr(0, parent.size()));
  r.keys[up].path = p;
}

void DestroyKeyHandle(void* p) { delete static_cast<KeyHandle*>(p); }

bool WriteFails(Registry& r, const WString& upper_path, NTSTATUS* status) {
  if (r.fail_status == 0) return false;
  if (upper_path.compare(0, r.fail_prefix.size(), r.fail_prefix) != 0) return false;
  *status = r.fail_status;
  return true;
}

// Resolves the path of an open or create: the object name, relative to RootDirectory when
// one is given.
NTSTATUS ResolvePath(OBJECT_ATTRIBUTES* oa, WString* out) {
  if (!oa || !oa->ObjectName || !oa->ObjectName->Buffer) return STATUS_INVALID_PARAMETER;
  WString name = ToWString(*oa->ObjectName);
  if (oa->RootDirectory) {
    auto* root = static_cast<KeyHandle*>(internal::LookupHandle(oa->RootDirectory, &g_key_type));
    if (!root) return STATUS_INVALID_HANDLE;
    name = root->path + u"\\" + name;
  } else if (name.empty() || name[0] != u'\\') {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  *out = Canonical(name);
  if (out->find(u"\\\\") != WString::npos) return STATUS_OBJECT_NAME_INVALID;
  return STATUS_SUCCESS;
}

KeyHandle* HandleToKey(HANDLE h) {
  return static_cast<KeyHandle*>(internal::LookupHandle(h, &g_key_type));
}

WString ValueName(PUNICODE_STRING name) { return name && name->Buffer ? ToWString(*name) : WString(); }

HANDLE NewHandle(const WString& upper) {
  auto* kh = new KeyHandle{upper};
  internal::RegisterObject(kh, &g_key_type, DestroyKeyHandle);
  HANDLE h = internal::CreateHandle(kh);
  ObDereferenceObject(kh);
  return h;
}

void CheckPassive(const char* what) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    ReportViolation("%s at IRQL %d", what, KeGetCurrentIrql());
}

}  // namespace
}  // namespace vorn::kernel::registry

using namespace vorn::kernel::registry;
using vorn::kernel::ReportViolation;

NTSTATUS ZwCreateKey(PHANDLE key, ACCESS_MASK, OBJECT_ATTRIBUTES* attributes, ULONG,
                     PUNICODE_STRING, ULONG, ULONG* disposition) {
  CheckPassive("ZwCreateKey");
  if (!key) return STATUS_INVALID_PARAMETER;
  WString path;
  NTSTATUS status = ResolvePath(attributes, &path);
  if (!NT_SUCCESS(status)) return status;
  WString up = UpperCase(path);
  Registry& r = R();
  {
    std::lock_guard<std::mutex> guard(r.lock);
    if (r.keys.count(up)) {
      if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
    } else {
      WString parent = Parent(up);
      if (parent.empty() || !r.keys.count(parent)) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (WriteFails(r, up, &status)) return status;
      r.keys[up].path = path;
      r.history.push_back(Write{Write::kCreateKey, path, {}, {}});
      if (disposition) *disposition = REG_CREATED_NEW_KEY;
    }
  }
  *key = NewHandle(up);
  return STATUS_SUCCESS;
}

NTSTATUS ZwOpenKey(PHANDLE key, ACCESS_MASK, OBJECT_ATTRIBUTES* attributes) {
  CheckPassive("ZwOpenKey");
  if (!key) return STATUS_INVALID_PARAMETER;
  WString path;
  NTSTATUS status = ResolvePath(attributes, &path);
  if (!NT_SUCCESS(status)) return status;
  WString up = UpperCase(path);
  {
    Registry& r = R();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!r.keys.count(up))
      return r.keys.count(Parent(up)) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
  }
  *key = NewHandle(up);
  return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING name, ULONG, ULONG type, PVOID data,
                       ULONG size) {
  CheckPassive("ZwSetValueKey");
  KeyHandle* kh = HandleToKey(key);
  if (!kh) return STATUS_INVALID_HANDLE;
  if (size && !data) return STATUS_INVALID_PARAMETER;
  Registry& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.keys.find(kh->path);
  if (it == r.keys.end()) return STATUS_KEY_DELETED;
  NTSTATUS status;
  if (WriteFails(r, kh->path, &status)) return status;
  WString n = ValueName(name);
  Value v{type, std::vector<uint8_t>(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size)};
  it->second.values[UpperCase(n)] = {n, v};
  r.history.push_back(Write{Write::kSetValue, it->second.path, n, v});
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS cls,
                         PVOID buffer, ULONG length, ULONG* result_length) {
  CheckPassive("ZwQueryValueKey");
  if (result_length) *result_length = 0;
  KeyHandle* kh = HandleToKey(key);
  if (!kh) return STATUS_INVALID_HANDLE;
  if (!result_length || (length && !buffer)) return STATUS_INVALID_PARAMETER;
  Registry& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.keys.find(kh->path);
  if (it == r.keys.end()) return STATUS_KEY_DELETED;
  auto v = it->second.values.find(UpperCase(ValueName(name)));
  if (v == it->second.values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const WString& vname = v->second.first;
  const Value& value = v->second.second;
  ULONG data_len = static_cast<ULONG>(value.data.size());
  ULONG name_len = static_cast<ULONG>(vname.size() * 2);
  auto* out = static_cast<uint8_t*>(buffer);
  switch (cls) {
    case KeyValuePartialInformation: {
      constexpr ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
      *result_length = fixed + data_len;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataLength = data_len;
      if (length < fixed + data_len) return STATUS_BUFFER_OVERFLOW;
      if (data_len) std::memcpy(out + fixed, value.data.data(), data_len);
      return STATUS_SUCCESS;
    }
    case KeyValueBasicInformation: {
      constexpr ULONG fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
      *result_length = fixed + name_len;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->NameLength = name_len;
      if (length < fixed + name_len) return STATUS_BUFFER_OVERFLOW;
      std::memcpy(out + fixed, vname.data(), name_len);
      return STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
      constexpr ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
      ULONG data_offset = (fixed + name_len + 7) & ~7u;
      *result_length = data_offset + data_len;
      if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = static_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataOffset = data_offset;
      info->DataLength = data_len;
      info->NameLength = name_len;
      if (length < data_offset + data_len) return STATUS_BUFFER_OVERFLOW;
      std::memcpy(out + fixed, vname.data(), name_len);
      if (data_len) std::memcpy(out + data_offset, value.data.data(), data_len);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING name) {
  CheckPassive("ZwDeleteValueKey");
  KeyHandle* kh = HandleToKey(key);
  if (!kh) return STATUS_INVALID_HANDLE;
  Registry& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.keys.find(kh->path);
  if (it == r.keys.end()) return STATUS_KEY_DELETED;
  NTSTATUS status;
  if (WriteFails(r, kh->path, &status)) return status;
  WString n = ValueName(name);
  if (it->second.values.erase(UpperCase(n)) == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  r.history.push_back(Write{Write::kDeleteValue, it->second.path, n, {}});
  return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteKey(HANDLE key) {
  CheckPassive("ZwDeleteKey");
  KeyHandle* kh = HandleToKey(key);
  if (!kh) return STATUS_INVALID_HANDLE;
  Registry& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.keys.find(kh->path);
  if (it == r.keys.end()) return STATUS_KEY_DELETED;
  WString prefix = kh->path + u"\\";
  for (auto& [k, _] : r.keys)
    if (k.compare(0, prefix.size(), prefix) == 0) return STATUS_CANNOT_DELETE;
  r.history.push_back(Write{Write::kDeleteKey, it->second.path, {}, {}});
  r.keys.erase(it);
  return STATUS_SUCCESS;
}

namespace vorn::kernel::registry {

void CreateKey(WStringView path) {
  std::lock_guard<std::mutex> guard(R().lock);
  CreateLocked(R(), path);
}

bool KeyExists(WStringView path) {
  std::lock_guard<std::mutex> guard(R().lock);
  return R().keys.count(UpperCase(Canonical(path))) != 0;
}

void SetValue(WStringView path, WStringView name, ULONG type, const void* data, size_t size) {
  Registry& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  CreateLocked(r, path);
  auto* bytes = static_cast<const uint8_t*>(data);
  r.keys[UpperCase(Canonical(path))].values[UpperCase(name)] = {
      WString(name), Value{type, std::vector<uint8_t>(bytes, bytes + size)}};
}

void SetDword(WStringView path, WStringView name, ULONG value) {
  SetValue(path, name, REG_DWORD, &value, 4);
}

void SetString(WStringView path, WStringView name, WStringView text) {
  WString t(text);
  SetValue(path, name, REG_SZ, t.c_str(), (t.size() + 1) * 2);
}

bool GetValue(WStringView path, WStringView name, Value* out) {
  Registry& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.keys.find(UpperCase(Canonical(path)));
  if (it == r.keys.end()) return false;
  auto v = it->second.values.find(UpperCase(name));
  if (v == it->second.values.end()) return false;
  if (out) *out = v->second.second;
  return true;
}

bool GetDword(WStringView path, WStringView name, ULONG* out) {
  Value v;
  if (!GetValue(path, name, &v) || v.data.size() != 4) return false;
  std::memcpy(out, v.data.data(), 4);
  return true;
}

bool GetString(WStringView path, WStringView name, WString* out) {
  Value v;
  if (!GetValue(path, name, &v)) return false;
  WString s(v.data.size() / 2, u'\0');
  std::memcpy(s.data(), v.data.data(), s.size() * 2);
  while (!s.empty() && s.back() == 0) s.pop_back();
  *out = s;
  return true;
}

void DeleteValue(WStringView path, WStringView name) {
  Registry& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.keys.find(UpperCase(Canonical(path)));
  if (it != r.keys.end()) it->second.values.erase(UpperCase(name));
}

std::vector<WString> ValueNames(WStringView path) {
  Registry& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  std::vector<WString> names;
  auto it = r.keys.find(UpperCase(Canonical(path)));
  if (it != r.keys.end())
    for (auto& [_, v] : it->second.values) names.push_back(v.first);
  return names;
}

std::vector<Write> History() {
  std::lock_guard<std::mutex> guard(R().lock);
  return R().history;
}

void ClearHistory() {
  std::lock_guard<std::mutex> guard(R().lock);
  R().history.clear();
}

void FailWritesUnder(WStringView prefix, NTSTATUS status) {
  std::lock_guard<std::mutex> guard(R().lock);
  R().fail_prefix = UpperCase(prefix);
  R().fail_status = status;
}

void Reset() {
  Registry& r = R();
  std::lock_guard<std::mutex> guard(r.lock);
  r.keys.clear();
  r.history.clear();
  r.fail_status = 0;
  CreateLocked(r, kServicesPath);
  CreateLocked(r, kEnumPath);
}

}  // namespace vorn::kernel::registry
