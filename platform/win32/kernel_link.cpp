#include "platform/win32/kernel_link.h"

#include "platform/kernel/device_change.h"
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

void ReferenceDevice(Device device) { ObReferenceObject(device); }
void DereferenceDevice(Device device) { ObDereferenceObject(device); }

}  // namespace vorn::win32::kernel_link
