// The user-mode side's part of an orderly removal. Before the PnP manager asks a device's
// stack whether it may go (IRP_MN_QUERY_REMOVE_DEVICE), the followers are told, so that the
// owners of handles to the device can close them; a follower that refuses, or a file still
// open on the device afterwards, vetoes the removal and the driver is never asked. When a
// removal that was asked for does not happen (a veto, a driver that refused), the followers
// are told again.
#pragma once

#include <functional>

#include "platform/kernel/irp.h"

namespace vorn::kernel::device_change {

struct Follower {
  // Called on the thread that asked for the removal; false refuses it.
  std::function<bool(DEVICE_OBJECT* pdo)> query_remove;
  std::function<void(DEVICE_OBJECT* pdo)> remove_cancelled;
};
int Follow(Follower follower);
void Unfollow(int id);

// The physical device object under the stack that |file| was opened on.
DEVICE_OBJECT* DeviceOfFile(FILE_OBJECT* file);
// Files open on the stack above |pdo|.
int OpenFiles(DEVICE_OBJECT* pdo);

// For the PnP manager: tells the followers and answers whether the removal may go on.
bool QueryRemove(DEVICE_OBJECT* pdo);
void RemoveCancelled(DEVICE_OBJECT* pdo);

}  // namespace vorn::kernel::device_change
