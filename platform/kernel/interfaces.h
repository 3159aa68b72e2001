// Device interfaces: a driver registers an interface class on its physical device object and
// gets a symbolic link "\??\USB#VID_xxxx&PID_xxxx#<instance>#{guid}" (the device id with '\'
// as '#', then the instance id, then the class); enabling and disabling it notifies whoever
// follows that class (the user-mode side), and user-mode requests open the device by link.
#pragma once

#include <functional>
#include <vector>

#include "platform/kernel/irp.h"

// The link is allocated by the kernel; the driver frees it with RtlFreeUnicodeString.
NTSTATUS IoRegisterDeviceInterface(DEVICE_OBJECT* pdo, const GUID* interface_class,
                                   PUNICODE_STRING reference, PUNICODE_STRING link);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING link, BOOLEAN enable);

namespace vorn::kernel::interfaces {

using Listener = std::function<void(const GUID& interface_class, const WString& link, bool arrived)>;
// Called for every enable (arrived) and disable of an interface of |interface_class| (any
// class when null), on the thread that changed it. Returns an id for Unfollow.
int Follow(const GUID* interface_class, Listener listener);
void Unfollow(int id);
// Links of the enabled interfaces of a class.
std::vector<WString> Enabled(const GUID& interface_class);
// The top of the device stack behind an enabled link (compared without regard to case, with
// "\??\" or "\\?\" in front), with a reference taken; null when none.
DEVICE_OBJECT* OpenLink(WStringView link);

}  // namespace vorn::kernel::interfaces
