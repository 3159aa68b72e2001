// The driver's Parameters registry key: opened for reading, queried by value name. The
// values are the host's in-memory store, read at each query.
#include <cstring>

#include "platform/umdf/host_state.h"
#include "platform/umdf/operations.h"

namespace vorn::umdf {
namespace {

class Key : public Object {
 public:
  explicit Key(HostState* host) : Object(host, Kind::kKey, true) {}
};

}  // namespace

WString FoldName(WStringView name) {
  WString folded(name);
  for (auto& c : folded)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return folded;
}

NTSTATUS WdfDriverOpenParametersRegistryKey(PWDF_DRIVER_GLOBALS globals, WDFDRIVER driver,
                                            ACCESS_MASK desired_access,
                                            PWDF_OBJECT_ATTRIBUTES key_attributes, WDFKEY* key) {
  constexpr const char* kOp = "WdfDriverOpenParametersRegistryKey";
  CheckGlobals(globals, kOp);
  Object* owner = Resolve<Object>(driver, Kind::kDriver, kOp);
  HostState* host = owner->host();
  if (key == nullptr) return STATUS_INVALID_PARAMETER;
  *key = nullptr;
  // The store can only be read.
  if ((desired_access & ~KEY_READ) != 0) return STATUS_ACCESS_DENIED;
  Object* parent = nullptr;
  if (NTSTATUS s = ParentFrom(key_attributes, owner, kOp, &parent); !NT_SUCCESS(s)) return s;
  {
    std::lock_guard<std::mutex> guard(host->lock);
    if (!host->parameters_present) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  auto* created = new Key(host);
  Register(created, parent);
  *key = HandleOf<WDFKEY>(created);
  return STATUS_SUCCESS;
}

void WdfRegistryClose(PWDF_DRIVER_GLOBALS globals, WDFKEY key) {
  constexpr const char* kOp = "WdfRegistryClose";
  CheckGlobals(globals, kOp);
  DeleteTree(Resolve<Key>(key, Kind::kKey, kOp));
}

NTSTATUS WdfRegistryQueryValue(PWDF_DRIVER_GLOBALS globals, WDFKEY key, PCUNICODE_STRING value_name,
                               ULONG value_length, PVOID value, ULONG* value_length_queried,
                               ULONG* value_type) {
  constexpr const char* kOp = "WdfRegistryQueryValue";
  CheckGlobals(globals, kOp);
  HostState* host = Resolve<Key>(key, Kind::kKey, kOp)->host();
  if (value_length_queried != nullptr) *value_length_queried = 0;
  if (value_name == nullptr || (value_name->Length % 2) != 0 ||
      (value_name->Length != 0 && value_name->Buffer == nullptr) ||
      (value == nullptr && value_length != 0))
    return STATUS_INVALID_PARAMETER;
  const WString name =
      FoldName(WStringView(value_name->Buffer, value_name->Length / sizeof(WCHAR)));

  std::lock_guard<std::mutex> guard(host->lock);
  if (!host->parameters_present) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto found = host->values.find(name);
  if (found == host->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  const RegistryValue& stored = found->second;
  const ULONG size = static_cast<ULONG>(stored.data.size());
  if (value_length_queried != nullptr) *value_length_queried = size;
  if (value_type != nullptr) *value_type = stored.type;
  if (size > value_length) return STATUS_BUFFER_OVERFLOW;
  if (size != 0) std::memcpy(value, stored.data.data(), size);
  return STATUS_SUCCESS;
}

}  // namespace vorn::umdf
