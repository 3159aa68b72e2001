// Plug and Play: the minor codes and records of PnP requests, device relations and
// properties, and the PnP manager that builds device stacks, starts, stops and removes them.
//
// The manager serialises all PnP work. Device relations reported invalid
// (IoInvalidateDeviceRelations) are re-queried on the manager's own thread; new children are
// identified (ids, texts, capabilities, bus information), get their function driver (the
// one registered for one of their ids, if any) and are started; children that are no longer
// reported are surprise-removed when started and then removed, once every file opened on
// them is closed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/irp.h"

constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_QUERY_DEVICE_TEXT = 0x0C;
constexpr UCHAR IRP_MN_EJECT = 0x11;
constexpr UCHAR IRP_MN_QUERY_ID = 0x13;
constexpr UCHAR IRP_MN_QUERY_BUS_INFORMATION = 0x15;
constexpr UCHAR IRP_MN_DEVICE_USAGE_NOTIFICATION = 0x16;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

struct DEVICE_CAPABILITIES {
  USHORT Size;
  USHORT Version;
  union {
    ULONG Flags;
    struct {
      ULONG DeviceD1 : 1;
      ULONG DeviceD2 : 1;
      ULONG LockSupported : 1;
      ULONG EjectSupported : 1;
      ULONG Removable : 1;
      ULONG DockDevice : 1;
      ULONG UniqueID : 1;
      ULONG SilentInstall : 1;
      ULONG RawDeviceOK : 1;
      ULONG SurpriseRemovalOK : 1;
      ULONG WakeFromD0 : 1;
      ULONG WakeFromD1 : 1;
      ULONG WakeFromD2 : 1;
      ULONG WakeFromD3 : 1;
      ULONG HardwareDisabled : 1;
      ULONG NonDynamic : 1;
      ULONG WarmEjectSupported : 1;
      ULONG NoDisplayInUI : 1;
      ULONG Reserved : 14;
    };
  };
  ULONG Address;
  ULONG UINumber;
  DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
  SYSTEM_POWER_STATE SystemWake;
  DEVICE_POWER_STATE DeviceWake;
  ULONG D1Latency;
  ULONG D2Latency;
  ULONG D3Latency;
};
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);

struct DEVICE_RELATIONS {
  ULONG Count;
  DEVICE_OBJECT* Objects[1];
};
static_assert(offsetof(DEVICE_RELATIONS, Objects) == 8);

enum INTERFACE_TYPE { PNPBus = 15 };
struct PNP_BUS_INFORMATION {
  GUID BusTypeGuid;
  INTERFACE_TYPE LegacyBusType;
  ULONG BusNumber;
};
static_assert(sizeof(PNP_BUS_INFORMATION) == 24);

using PINTERFACE_REFERENCE = void (*)(PVOID context);
using PINTERFACE_DEREFERENCE = void (*)(PVOID context);
struct INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
};

// The location interface: GetLocationString returns a pool multi-string the caller frees.
using PGET_LOCATION_STRING = NTSTATUS (*)(PVOID context, WCHAR** location_strings);
struct PNP_LOCATION_INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PGET_LOCATION_STRING GetLocationString;
};
static_assert(sizeof(PNP_LOCATION_INTERFACE) == 40);
static_assert(sizeof(INTERFACE) == 32);

// The USB bus type of PNP_BUS_INFORMATION and the PnP location interface of QUERY_INTERFACE.
inline constexpr GUID GUID_BUS_TYPE_USB = {0x8E31C4A7, 0x2B6D, 0x4F15, {0x9A, 0x03, 0x6C, 0xD2, 0x7E, 0x41, 0xB8, 0x5F}};
inline constexpr GUID GUID_PNP_LOCATION_INTERFACE = {0x5A9C2E71, 0x40B3, 0x4D8E, {0xB1, 0x6F, 0x27, 0x93, 0xC0, 0x5E, 0xA4, 0x18}};

enum DEVICE_REGISTRY_PROPERTY {
  DevicePropertyDeviceDescription = 0,
  DevicePropertyHardwareID = 1,
  DevicePropertyCompatibleIDs = 2,
  DevicePropertyDriverKeyName = 7,
  DevicePropertyLocationInformation = 10,
  DevicePropertyEnumeratorName = 15,
};

// Asks the PnP manager to query |pdo|'s stack for its relations again (asynchronously).
void IoInvalidateDeviceRelations(DEVICE_OBJECT* pdo, DEVICE_RELATION_TYPE type);
// STATUS_BUFFER_TOO_SMALL with the size needed in |result_length| when |length| is short.
NTSTATUS IoGetDeviceProperty(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property,
                             ULONG length, PVOID buffer, ULONG* result_length);
// Asks the PnP manager to eject |pdo| (query-remove, remove, then IRP_MN_EJECT).
void IoRequestDeviceEject(DEVICE_OBJECT* pdo);

// A request of |major| for |device| that its issuer waits for: when it completes, the kernel
// copies its status into |io_status|, sets |event| and frees it. A PnP request gets its minor
// code and parameters in the next stack location and, by the rule of PnP requests, the
// status STATUS_NOT_SUPPORTED before it is sent. Null when it cannot be built.
PIRP IoBuildSynchronousFsdRequest(ULONG major, DEVICE_OBJECT* device, PVOID buffer,
                                  ULONG length, LARGE_INTEGER* offset, PKEVENT event,
                                  PIO_STATUS_BLOCK io_status);

namespace vorn::kernel::pnp {

struct DevNode;

enum class NodeState { kEnumerated, kStarted, kStopPending, kStopped, kRemovePending, kSurpriseRemoved, kRemoved, kFailed };

struct NodeInfo {
  WString device_id, instance_id, description, location;
  std::vector<WString> hardware_ids, compatible_ids;
  DEVICE_CAPABILITIES capabilities{};
  PNP_BUS_INFORMATION bus{};
  bool has_bus_information = false;
  NodeState state = NodeState::kEnumerated;
  WString driver_key;
  DRIVER_OBJECT* driver = nullptr;  // the function driver, null when none matched
};

// The function driver for devices having |id| among their hardware or compatible ids.
void RegisterDriver(WStringView id, DRIVER_OBJECT* driver);
void UnregisterDriver(DRIVER_OBJECT* driver);

// Adds a root-enumerated device (a bus's root), identifies and starts it and everything it
// reports, synchronously.
DevNode* AddRootDevice(DEVICE_OBJECT* pdo);
// Waits until every queued relations query and removal has been processed.
void WaitIdle();

DevNode* FindNode(DEVICE_OBJECT* pdo);
// The node whose device id or hardware ids contain |id| (first match), or null.
DevNode* FindNodeById(WStringView id);
DEVICE_OBJECT* Pdo(DevNode* node);
DEVICE_OBJECT* Top(DevNode* node);  // top of the device stack
std::vector<DevNode*> Children(DevNode* node);
// Every node, each parent before its children.
std::vector<DevNode*> AllNodes();
NodeInfo Info(DevNode* node);

// Requests a test can make. Each returns the status of the request that decided it.
NTSTATUS QueryStop(DevNode* node);
NTSTATUS CancelStop(DevNode* node);
NTSTATUS Stop(DevNode* node);          // QUERY_STOP then STOP (CANCEL_STOP when refused)
NTSTATUS Start(DevNode* node);         // again after STOP, after REMOVE of a present device, or once its driver is registered
NTSTATUS QueryRemove(DevNode* node);   // the subtree, children first
NTSTATUS CancelRemove(DevNode* node);
NTSTATUS Remove(DevNode* node);        // QUERY_REMOVE then REMOVE of the subtree
void SurpriseRemove(DevNode* node);    // as when the device vanished from its parent's relations
NTSTATUS QueryCapabilities(DevNode* node, DEVICE_CAPABILITIES* out);
// Sends any PnP request to the top of |node|'s stack; |prepare| fills the stack location.
NTSTATUS Send(DevNode* node, UCHAR minor, const std::function<void(IO_STACK_LOCATION*)>& prepare,
              ULONG_PTR* information = nullptr);

// Every request the manager sent, as "<MINOR> <device id>", oldest first; and a clear.
std::vector<std::string> Log();
void ClearLog();

}  // namespace vorn::kernel::pnp
