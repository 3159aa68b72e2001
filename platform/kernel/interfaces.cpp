#include "platform/kernel/interfaces.h"

#include <map>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/kernel/device_internal.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/pnp_internal.h"
#include "platform/kernel/pool.h"

namespace {

struct Interface {
  GUID guid;
  WString link;
  DEVICE_OBJECT* pdo;
  bool enabled = false;
};

struct Registry {
  std::mutex lock;
  std::vector<Interface> interfaces;
  std::map<int, std::pair<std::optional<GUID>, vorn::kernel::interfaces::Listener>> listeners;
  int next_id = 1;
};
Registry& R() {
  static Registry* r = new Registry;
  return *r;
}

WString Lower(WString s) {
  for (auto& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return s;
}

// "\\?\X" and "\??\X" name the same link.
WString Normal(WStringView link) {
  WString s(link);
  if (s.size() >= 4 && s[0] == u'\\' && s[1] == u'\\' && s[2] == u'?' && s[3] == u'\\') s[1] = u'?';
  return UpperCase(s);
}

void Notify(const GUID& guid, const WString& link, bool arrived) {
  std::vector<vorn::kernel::interfaces::Listener> calls;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    for (auto& [id, l] : R().listeners)
      if (!l.first || *l.first == guid) calls.push_back(l.second);
  }
  for (auto& c : calls) c(guid, link, arrived);
}

}  // namespace

NTSTATUS IoRegisterDeviceInterface(DEVICE_OBJECT* pdo, const GUID* interface_class,
                                   PUNICODE_STRING reference, PUNICODE_STRING link) {
  if (!pdo || !interface_class || !link) return STATUS_INVALID_PARAMETER;
  auto ids = vorn::kernel::internal::IdsOf(pdo);
  if (!ids || vorn::kernel::internal::StackBottom(pdo) != pdo) return STATUS_INVALID_DEVICE_REQUEST;
  WString device = ids->device_id;
  for (auto& c : device)
    if (c == u'\\') c = u'#';
  WString text = u"\\??\\" + device + u"#" + ids->instance_id + u"#" + Lower(GuidToWString(*interface_class));
  if (reference && reference->Length) text += u"\\" + ToWString(*reference);
  {
    std::lock_guard<std::mutex> guard(R().lock);
    bool known = false;
    for (auto& i : R().interfaces)
      if (i.pdo == pdo && Normal(i.link) == Normal(text)) known = true;
    if (!known) R().interfaces.push_back(Interface{*interface_class, text, pdo});
  }
  size_t bytes = (text.size() + 1) * 2;
  auto* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, PoolTag("IoSl")));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, text.c_str(), bytes);
  link->Buffer = buffer;
  link->Length = static_cast<USHORT>(bytes - 2);
  link->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING link, BOOLEAN enable) {
  if (!link || !link->Buffer) return STATUS_INVALID_PARAMETER;
  WString key = Normal(ToWString(*link));
  GUID guid{};
  WString text;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    Interface* found = nullptr;
    for (auto& i : R().interfaces)
      if (Normal(i.link) == key) found = &i;
    if (!found) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (found->enabled == (enable != 0)) return STATUS_SUCCESS;
    found->enabled = enable != 0;
    guid = found->guid;
    text = found->link;
  }
  Notify(guid, text, enable != 0);
  return STATUS_SUCCESS;
}

namespace vorn::kernel::internal {
void DisableInterfacesOf(DEVICE_OBJECT* pdo, bool forget) {
  std::vector<Interface> gone;
  {
    std::lock_guard<std::mutex> guard(R().lock);
    auto& all = R().interfaces;
    for (auto it = all.begin(); it != all.end();) {
      if (it->pdo == pdo) {
        if (it->enabled) gone.push_back(*it);
        it->enabled = false;
        if (forget) {
          it = all.erase(it);
          continue;
        }
      }
      ++it;
    }
  }
  for (auto& i : gone) Notify(i.guid, i.link, false);
}
}  // namespace vorn::kernel::internal

namespace vorn::kernel::interfaces {

int Follow(const GUID* interface_class, Listener listener) {
  std::lock_guard<std::mutex> guard(R().lock);
  int id = R().next_id++;
  R().listeners[id] = {interface_class ? std::optional<GUID>(*interface_class) : std::nullopt, std::move(listener)};
  return id;
}

void Unfollow(int id) {
  std::lock_guard<std::mutex> guard(R().lock);
  R().listeners.erase(id);
}

std::vector<WString> Enabled(const GUID& interface_class) {
  std::lock_guard<std::mutex> guard(R().lock);
  std::vector<WString> out;
  for (auto& i : R().interfaces)
    if (i.enabled && i.guid == interface_class) out.push_back(i.link);
  return out;
}

DEVICE_OBJECT* OpenLink(WStringView link) {
  WString key = Normal(link);
  std::lock_guard<std::mutex> guard(R().lock);
  for (auto& i : R().interfaces)
    if (i.enabled && Normal(i.link) == key) return IoGetAttachedDeviceReference(i.pdo);
  return nullptr;
}

}  // namespace vorn::kernel::interfaces
