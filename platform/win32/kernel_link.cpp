#include "platform/win32/kernel_link.h"

#include "platform/kernel/base.h"
#include "platform/kernel/device_change.h"
#include "platform/kernel/device_internal.h"
#include "platform/kernel/interfaces.h"
#include "platform/kernel/object.h"

namespace vorn::win32::kernel_link {

std::vector<WString> EnabledInterfaces(const GUID& interface_class) {
  return kernel::interfaces::Enabled(interface_class);
}

void FollowInterfaces(std::function<void(const GUID&, const WString&, bool)> listener) {
  kernel::interfaces::Follow(nullptr, std::move(listener));
}

void FollowRemovals(std::function<bool(Device)> query, std::function<void(Device)> cancelled) {
  kernel::device_change::Follow(
      {[query](DEVICE_OBJECT* pdo) { return query(pdo); },
       [cancelled](DEVICE_OBJECT* pdo) { cancelled(pdo); }});
}

Device DeviceOfFile(void* file) { return kernel::device_change::DeviceOfFile(static_cast<FILE_OBJECT*>(file)); }

bool LinkOfDevice(WStringView link, Device device) {
  if (!device) return false;
  auto ids = kernel::internal::IdsOf(static_cast<DEVICE_OBJECT*>(device));
  if (!ids) return false;
  // An interface link is "\??\<device id with '\' as '#'>#<instance id>#<class>...".
  WString device_part = ids->device_id;
  for (auto& c : device_part)
    if (c == u'\\') c = u'#';
  const WString prefix = UpperCase(u"\\??\\" + device_part + u"#" + ids->instance_id + u"#");
  return link.size() > prefix.size() && UpperCase(link.substr(0, prefix.size())) == prefix;
}

void ReferenceDevice(Device device) { ObReferenceObject(device); }
void DereferenceDevice(Device device) { ObDereferenceObject(device); }

}  // namespace vorn::win32::kernel_link
