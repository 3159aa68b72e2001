// Power: the power IRPs, the calls a driver makes to request and pass them, and the power
// manager's side: system transitions sent to every started device stack (deepest devices
// first when going to sleep, parents first when waking).
#pragma once

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
// and waits for each; returns the first failure.
NTSTATUS SetSystemState(SYSTEM_POWER_STATE state);
// Sends one system power IRP to a node's stack and waits for it.
NTSTATUS SendSystemPower(pnp::DevNode* node, UCHAR minor, SYSTEM_POWER_STATE state);
// The device state last reported with PoSetPowerState (PowerDeviceUnspecified when never).
DEVICE_POWER_STATE ReportedDeviceState(DEVICE_OBJECT* device);
SYSTEM_POWER_STATE CurrentSystemState();

}  // namespace vorn::kernel::power
