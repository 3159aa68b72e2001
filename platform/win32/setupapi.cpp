#include "platform/win32/setupapi.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/win32/kernel_link.h"

namespace vorn::win32::setup {
namespace {

struct InterfaceSet {
  GUID guid;
  std::vector<std::u16string> paths;
};

struct Sets {
  std::mutex lock;
  std::set<InterfaceSet*> live;
};
Sets& S() {
  static auto* s = new Sets;
  return *s;
}

InterfaceSet* Lookup(HDEVINFO set) {
  auto* s = static_cast<InterfaceSet*>(set);
  std::lock_guard<std::mutex> guard(S().lock);
  return S().live.count(s) ? s : nullptr;
}

}  // namespace

std::u16string UserPath(std::u16string_view link) {
  std::u16string path(link);
  if (path.size() >= 4 && path.compare(0, 4, u"\\??\\") == 0) path[1] = u'\\';
  return path;
}

size_t OpenSets() {
  std::lock_guard<std::mutex> guard(S().lock);
  return S().live.size();
}

}  // namespace vorn::win32::setup

namespace setup = vorn::win32::setup;

HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR enumerator, HWND, DWORD flags) {
  if (!(flags & DIGCF_DEVICEINTERFACE)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if (!classGuid || enumerator) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto* s = new setup::InterfaceSet{*classGuid, {}};
  for (const WString& link : vorn::win32::kernel_link::EnabledInterfaces(*classGuid))
    s->paths.push_back(setup::UserPath(link));
  std::lock_guard<std::mutex> guard(setup::S().lock);
  setup::S().live.insert(s);
  return s;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  setup::InterfaceSet* s = setup::Lookup(set);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> guard(setup::S().lock);
    setup::S().live.erase(s);
  }
  delete s;
  return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceInfo, const GUID* classGuid,
                                 DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
  setup::InterfaceSet* s = setup::Lookup(set);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (deviceInfo || !classGuid || !data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(data && data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ? ERROR_INVALID_USER_BUFFER
                                                                          : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (*classGuid != s->guid || index >= s->paths.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->InterfaceClassGuid = s->guid;
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index + 1;  // which entry this is; 0 is never one
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_W* detail, DWORD detailSize,
                                      DWORD* requiredSize, SP_DEVINFO_DATA* deviceInfo) {
  setup::InterfaceSet* s = setup::Lookup(set);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!data || data->Reserved == 0 || data->Reserved > s->paths.size() || deviceInfo) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::u16string& path = s->paths[data->Reserved - 1];
  const DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                        (path.size() + 1) * sizeof(WCHAR));
  if (requiredSize) *requiredSize = need;
  if (!detail) {
    SetLastError(detailSize ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (detailSize < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(reinterpret_cast<char*>(detail) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath),
              path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

LPWSTR CharUpperW(LPWSTR text) {
  if (!text || reinterpret_cast<uintptr_t>(text) < 0x10000) return text;
  for (WCHAR* p = text; *p; ++p)
    if (*p >= u'a' && *p <= u'z') *p = static_cast<WCHAR>(*p - (u'a' - u'A'));
  return text;
}
