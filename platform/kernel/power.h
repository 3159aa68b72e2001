// Power: the power IRPs, the calls a driver makes to request and pass them, and the power
// manager's side: system transitions sent to every started device stack (deepest devices
// first when going to sleep, parents first when waking), user-mode device stacks told of them
// around the kernel's, and a wake-up: a wait-wake request that completes successfully while
// the system sleeps brings the system back to the working state.
#pragma once

#include <functional>
#include <vector>

#include "platform/kernel/pnp.h"

constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

using PREQUEST_POWER_COMPLETE = void (*)(DEVICE_OBJECT* device, UCHAR minor, POWER_STATE state,
                                         PVOID context, IO_STATUS_BLOCK* io_status);

// Builds a power IRP for the top of |device|'s stack and sends it from a system worker
// thread at PASSIVE_LEVEL; |completion| runs when it completes, then the IRP is freed.
// Returns STATUS_PENDING, or STATUS_INSUFFICIENT_RESOURCES / STATUS_INVALID_PARAMETER_2.
NTSTATUS PoRequestPowerIrp(DEVICE_OBJECT* device, UCHAR minor, POWER_STATE state,
                           PREQUEST_POWER_COMPLETE completion, PVOID context, IRP** irp);
// Passes a power IRP down; from DISPATCH_LEVEL to a device with DO_POWER_PAGABLE the call is
// made from a worker thread at PASSIVE_LEVEL and STATUS_PENDING returned.
NTSTATUS PoCallDriver(DEVICE_OBJECT* device, IRP* irp);
void PoStartNextPowerIrp(IRP* irp);
// Records the device's new state; returns the previous one.
POWER_STATE PoSetPowerState(DEVICE_OBJECT* device, POWER_STATE_TYPE type, POWER_STATE state);

namespace vorn::kernel::power {

// Sends QUERY_POWER (going to sleep) and SET_POWER for |state| to every started device stack
// and waits for each; returns the first failure. A failed query ends the transition before
// any SET_POWER is sent. One transition runs at a time.
NTSTATUS SetSystemState(SYSTEM_POWER_STATE state);

// A user-mode device stack (the display host's) hears of system transitions here: |sleeping|
// once every kernel stack has accepted the sleep state and before any is set to it, |woken|
// after every kernel stack is back in the working state. Either may be empty.
struct TransitionListener {
  std::function<void(SYSTEM_POWER_STATE)> sleeping;
  std::function<void(SYSTEM_POWER_STATE)> woken;
};
int AddTransitionListener(TransitionListener listener);
void RemoveTransitionListener(int id);

// Waits until no wake-up of the system (after a wait-wake) is queued or running.
void WaitWakeUpsDone();

// What the power manager saw, oldest first, for tests.
struct RequestRecord {
  DEVICE_OBJECT* device;  // the device PoRequestPowerIrp was called for
  UCHAR minor;
  POWER_STATE state;
  bool sent;              // its dispatch routine has returned
  bool done;              // it has completed
  NTSTATUS status;        // when done
};
struct CallRecord {
  DEVICE_OBJECT* device;  // the device PoCallDriver passed it to
  UCHAR minor;
  POWER_STATE_TYPE type;
  POWER_STATE state;
};
std::vector<RequestRecord> Requests();
std::vector<CallRecord> Calls();
void ClearRecords();
// Sends one system power IRP to a node's stack and waits for it.
NTSTATUS SendSystemPower(pnp::DevNode* node, UCHAR minor, SYSTEM_POWER_STATE state);
// The device state last reported with PoSetPowerState (PowerDeviceUnspecified when never).
DEVICE_POWER_STATE ReportedDeviceState(DEVICE_OBJECT* device);
SYSTEM_POWER_STATE CurrentSystemState();

}  // namespace vorn::kernel::power
