#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/kernel/device_change.h"
#include "platform/kernel/device_internal.h"
#include "platform/kernel/irp_internal.h"
#include "platform/kernel/pnp_internal.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/violations.h"

using vorn::kernel::ReportViolation;
namespace internal = vorn::kernel::internal;

namespace vorn::kernel::pnp {
struct DevNode {
  DEVICE_OBJECT* pdo = nullptr;
  DevNode* parent = nullptr;
  std::vector<DevNode*> children;
  NodeInfo info;
  NodeState previous = NodeState::kEnumerated;
  bool reported = true;        // still in its parent's relations
  bool remove_waiting = false; // surprise-removed, REMOVE waits for open files
};
}  // namespace vorn::kernel::pnp

namespace {

using vorn::kernel::pnp::DevNode;
using vorn::kernel::pnp::NodeState;
using vorn::kernel::pnp::NodeInfo;
namespace registry = vorn::kernel::registry;

// A class key for the driver keys of the devices this manager installs.
constexpr char16_t kDriverClass[] = u"{C9A1F3E2-7B4D-4A6E-9F1C-2D3E4F5A6B7C}";

struct Manager {
  std::recursive_mutex lock;
  std::vector<std::pair<WString, DRIVER_OBJECT*>> drivers;
  std::vector<DevNode*> nodes;
  unsigned next_driver_key = 0;
  std::vector<std::string> log;
  // Work for the manager's thread.
  std::mutex queue_lock;
  std::condition_variable queue_cv;
  std::deque<std::function<void()>> queue;
  bool busy = false;
  bool started = false;
};

Manager& M() {
  static Manager* m = new Manager;
  return *m;
}

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_QUERY_STOP_DEVICE: return "QUERY_STOP";
    case IRP_MN_CANCEL_STOP_DEVICE: return "CANCEL_STOP";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "QUERY_RELATIONS";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    case IRP_MN_QUERY_DEVICE_TEXT: return "QUERY_TEXT";
    case IRP_MN_EJECT: return "EJECT";
    case IRP_MN_QUERY_ID: return "QUERY_ID";
    case IRP_MN_QUERY_BUS_INFORMATION: return "QUERY_BUS_INFORMATION";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    default: return "PNP";
  }
}

void Worker() {
  Manager& m = M();
  std::unique_lock<std::mutex> lock(m.queue_lock);
  for (;;) {
    m.queue_cv.wait(lock, [&] { return !m.queue.empty(); });
    auto job = std::move(m.queue.front());
    m.queue.pop_front();
    m.busy = true;
    lock.unlock();
    job();
    lock.lock();
    m.busy = false;
    m.queue_cv.notify_all();
  }
}

void Post(std::function<void()> job) {
  Manager& m = M();
  std::lock_guard<std::mutex> guard(m.queue_lock);
  if (!m.started) {
    m.started = true;
    std::thread(Worker).detach();
  }
  m.queue.push_back(std::move(job));
  m.queue_cv.notify_all();
}

NTSTATUS SendPnp(DevNode* node, UCHAR minor, const std::function<void(IO_STACK_LOCATION*)>& prepare,
                 ULONG_PTR* information) {
  {
    std::string id = ToNarrow(node->info.device_id);
    M().log.push_back(std::string(MinorName(minor)) + " " + (id.empty() ? "?" : id));
  }
  return internal::SendAndWait(IoGetAttachedDevice(node->pdo), IRP_MJ_PNP, minor, prepare, information,
                               STATUS_NOT_SUPPORTED);
}

// A wide multi-string (or, with |multi| false, one string) that a driver returned in pool;
// read no further than the block and freed here.
std::vector<WString> TakeStrings(ULONG_PTR information, bool multi) {
  std::vector<WString> out;
  auto* p = reinterpret_cast<const WCHAR*>(information);
  if (!p) return out;
  size_t chars = vorn::kernel::pool::BlockSize(p) / 2;
  if (chars == 0) {
    ReportViolation("PnP answer %p is not a pool block", static_cast<const void*>(p));
    return out;
  }
  size_t i = 0;
  while (i < chars && p[i]) {
    WString s;
    while (i < chars && p[i]) s.push_back(p[i++]);
    ++i;
    out.push_back(s);
    if (!multi) break;
  }
  ExFreePool(reinterpret_cast<PVOID>(information));
  return out;
}

WString QueryId(DevNode* node, BUS_QUERY_ID_TYPE type) {
  ULONG_PTR info = 0;
  NTSTATUS s = SendPnp(node, IRP_MN_QUERY_ID, [&](IO_STACK_LOCATION* st) { st->Parameters.QueryId.IdType = type; }, &info);
  if (!NT_SUCCESS(s) || !info) return {};
  auto v = TakeStrings(info, false);
  return v.empty() ? WString() : v[0];
}

std::vector<WString> QueryIds(DevNode* node, BUS_QUERY_ID_TYPE type) {
  ULONG_PTR info = 0;
  NTSTATUS s = SendPnp(node, IRP_MN_QUERY_ID, [&](IO_STACK_LOCATION* st) { st->Parameters.QueryId.IdType = type; }, &info);
  if (!NT_SUCCESS(s) || !info) return {};
  return TakeStrings(info, true);
}

WString QueryText(DevNode* node, DEVICE_TEXT_TYPE type) {
  ULONG_PTR info = 0;
  NTSTATUS s = SendPnp(node, IRP_MN_QUERY_DEVICE_TEXT, [&](IO_STACK_LOCATION* st) {
    st->Parameters.QueryDeviceText.DeviceTextType = type;
    st->Parameters.QueryDeviceText.LocaleId = 0x409;
  }, &info);
  if (!NT_SUCCESS(s) || !info) return {};
  auto v = TakeStrings(info, false);
  return v.empty() ? WString() : v[0];
}

NTSTATUS QueryCaps(DevNode* node, DEVICE_CAPABILITIES* caps) {
  std::memset(caps, 0, sizeof(*caps));
  caps->Size = sizeof(DEVICE_CAPABILITIES);
  caps->Version = 1;
  caps->Address = caps->UINumber = 0xFFFFFFFF;
  return SendPnp(node, IRP_MN_QUERY_CAPABILITIES,
                 [&](IO_STACK_LOCATION* st) { st->Parameters.DeviceCapabilities.Capabilities = caps; }, nullptr);
}

DRIVER_OBJECT* MatchDriver(const DevNode* node) {
  for (const auto& ids : {node->info.hardware_ids, node->info.compatible_ids})
    for (const WString& id : ids)
      for (auto& [pattern, driver] : M().drivers)
        if (EqualNoCase(id, pattern)) return driver;
  return nullptr;
}

void QueryRelations(DevNode* node);

NTSTATUS StartNode(DevNode* node) {
  Manager& m = M();
  // A device whose id could not be read (its bus refused the query or ran out of memory) has
  // no name: no Enum key, no instance path for its interfaces. It stays unstarted, with a
  // problem, as the system leaves it.
  if (node->parent && node->info.device_id.empty()) {
    node->info.state = NodeState::kFailed;
    m.log.push_back("NO_DEVICE_ID");
    return STATUS_UNSUCCESSFUL;
  }
  node->info.driver = MatchDriver(node);
  // A device needs its function driver, unless it says it runs raw; a bus's root is its own.
  if (!node->info.driver && node->parent && !node->info.capabilities.RawDeviceOK) {
    node->info.state = NodeState::kEnumerated;
    m.log.push_back("NO_DRIVER " + ToNarrow(node->info.device_id));
    return STATUS_UNSUCCESSFUL;
  }
  if (node->info.driver && node->info.driver->DriverExtension->AddDevice) {
    NTSTATUS s = node->info.driver->DriverExtension->AddDevice(node->info.driver, node->pdo);
    if (!NT_SUCCESS(s)) {
      node->info.state = NodeState::kFailed;
      m.log.push_back("ADD_DEVICE_FAILED " + ToNarrow(node->info.device_id));
      return s;
    }
    DEVICE_OBJECT* top = IoGetAttachedDevice(node->pdo);
    if (top->Flags & DO_DEVICE_INITIALIZING)
      ReportViolation("AddDevice left DO_DEVICE_INITIALIZING set on %p", static_cast<void*>(top));
  }
  NTSTATUS s = SendPnp(node, IRP_MN_START_DEVICE, nullptr, nullptr);
  if (!NT_SUCCESS(s)) {
    node->info.state = NodeState::kFailed;
    return s;
  }
  node->info.state = NodeState::kStarted;
  QueryCaps(node, &node->info.capabilities);
  QueryRelations(node);
  return s;
}

void Enumerate(DevNode* parent, DEVICE_OBJECT* pdo) {
  Manager& m = M();
  auto* node = new DevNode;
  node->pdo = pdo;  // holds the reference the relations list carried
  node->parent = parent;
  internal::Record(pdo)->node = node;
  m.nodes.push_back(node);
  if (parent) parent->children.push_back(node);
  NodeInfo& info = node->info;
  info.device_id = QueryId(node, BusQueryDeviceID);
  info.instance_id = QueryId(node, BusQueryInstanceID);
  info.hardware_ids = QueryIds(node, BusQueryHardwareIDs);
  info.compatible_ids = QueryIds(node, BusQueryCompatibleIDs);
  info.description = QueryText(node, DeviceTextDescription);
  info.location = QueryText(node, DeviceTextLocationInformation);
  QueryCaps(node, &info.capabilities);
  ULONG_PTR bus = 0;
  if (NT_SUCCESS(SendPnp(node, IRP_MN_QUERY_BUS_INFORMATION, nullptr, &bus)) && bus) {
    info.bus = *reinterpret_cast<PNP_BUS_INFORMATION*>(bus);
    info.has_bus_information = true;
    ExFreePool(reinterpret_cast<PVOID>(bus));
  }
  // The device's Enum key, as an installer leaves it.
  char16_t number[8];
  unsigned n = m.next_driver_key++;
  for (int i = 3; i >= 0; --i, n /= 10) number[i] = static_cast<char16_t>(u'0' + n % 10);
  number[4] = 0;
  info.driver_key = WString(kDriverClass) + u"\\" + number;
  {
    auto ids = std::make_shared<internal::DeviceIds>();
    ids->device_id = info.device_id;
    ids->instance_id = info.instance_id;
    ids->description = info.description;
    ids->location = info.location;
    ids->hardware_ids = info.hardware_ids;
    ids->compatible_ids = info.compatible_ids;
    ids->driver_key = info.driver_key;
    std::lock_guard<std::mutex> guard(internal::IdsLock());
    internal::Record(pdo)->ids = ids;  // for property and interface look-ups on any thread
  }
  if (!info.device_id.empty()) {
    WString key = WString(registry::kEnumPath) + u"\\" + info.device_id + u"\\" + info.instance_id;
    registry::CreateKey(key);
    registry::SetString(key, u"Driver", info.driver_key);
  }
  StartNode(node);
}

void DeleteNode(DevNode* node) {
  Manager& m = M();
  if (node->parent) {
    auto& siblings = node->parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
  }
  m.nodes.erase(std::remove(m.nodes.begin(), m.nodes.end(), node), m.nodes.end());
  if (internal::IsRegistered(node->pdo)) {
    if (internal::Record(node->pdo)->node == node) internal::Record(node->pdo)->node = nullptr;
  }
  ObDereferenceObject(node->pdo);
  delete node;
}

int SubtreeFiles(DevNode* node) {
  int n = internal::Record(node->pdo)->open_files.load();
  for (DevNode* c : node->children) n += SubtreeFiles(c);
  return n;
}

void DeleteTree(DevNode* node) {
  for (DevNode* c : std::vector<DevNode*>(node->children)) DeleteTree(c);
  DeleteNode(node);
}

// REMOVE for the subtree, children first. Nodes no longer reported by their parent go away,
// and so do the children of a removed device: its driver has deleted them.
void RemoveSubtree(DevNode* node) {
  for (DevNode* c : std::vector<DevNode*>(node->children)) RemoveSubtree(c);
  internal::DisableInterfacesOf(node->pdo);
  // A device removed while still reported gets a second REMOVE once its parent no longer
  // reports it, so its bus driver can delete it.
  if (node->info.state != NodeState::kRemoved || !node->reported) {
    SendPnp(node, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    node->info.state = NodeState::kRemoved;
  }
  node->remove_waiting = false;
  for (DevNode* c : std::vector<DevNode*>(node->children)) DeleteTree(c);
  if (!node->reported) DeleteNode(node);
}

void SurpriseSubtree(DevNode* node) {
  for (DevNode* c : node->children) SurpriseSubtree(c);
  if (node->info.state != NodeState::kRemoved && node->info.state != NodeState::kSurpriseRemoved) {
    internal::DisableInterfacesOf(node->pdo, false);  // so the user-mode side lets go of it
    SendPnp(node, IRP_MN_SURPRISE_REMOVAL, nullptr, nullptr);
    node->info.state = NodeState::kSurpriseRemoved;
  }
  for (DevNode* c : node->children) c->reported = false;  // a gone parent takes its children
}

void Vanish(DevNode* node) {
  node->reported = false;
  bool was_running = node->info.state != NodeState::kEnumerated && node->info.state != NodeState::kFailed &&
                     node->info.state != NodeState::kRemoved;
  if (was_running) SurpriseSubtree(node);
  for (DevNode* c : node->children) c->reported = false;
  if (SubtreeFiles(node) == 0)
    RemoveSubtree(node);
  else
    node->remove_waiting = true;
}

void QueryRelations(DevNode* node) {
  if (node->info.state != NodeState::kStarted) return;
  ULONG_PTR info = 0;
  NTSTATUS s = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS,
                       [](IO_STACK_LOCATION* st) { st->Parameters.QueryDeviceRelations.Type = BusRelations; }, &info);
  if (!NT_SUCCESS(s)) return;
  auto* rel = reinterpret_cast<DEVICE_RELATIONS*>(info);
  std::vector<DEVICE_OBJECT*> reported;
  if (rel) {
    reported.assign(rel->Objects, rel->Objects + rel->Count);
    ExFreePool(rel);
  }
  for (DevNode* c : std::vector<DevNode*>(node->children))
    if (c->reported && std::find(reported.begin(), reported.end(), c->pdo) == reported.end()) Vanish(c);
  for (DEVICE_OBJECT* pdo : reported) {
    DevNode* known = nullptr;
    for (DevNode* c : node->children)
      if (c->pdo == pdo) known = c;
    if (known) {
      ObDereferenceObject(pdo);  // the node holds its own reference
      // A device that was removed while present comes back when reported again.
      if (known->info.state == NodeState::kRemoved && known->reported) StartNode(known);
      continue;
    }
    Enumerate(node, pdo);
  }
}

bool Alive(DevNode* node) {
  auto& nodes = M().nodes;
  return std::find(nodes.begin(), nodes.end(), node) != nodes.end();
}

void CollectSubtree(DevNode* node, std::vector<DevNode*>* out) {
  for (DevNode* c : node->children) CollectSubtree(c, out);
  out->push_back(node);
}

}  // namespace

namespace vorn::kernel::internal {

NTSTATUS SendAndWait(DEVICE_OBJECT* device, UCHAR major, UCHAR minor,
                     const std::function<void(IO_STACK_LOCATION*)>& prepare,
                     ULONG_PTR* information, NTSTATUS initial_status) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) ReportViolation("PnP request sent at IRQL %d", KeGetCurrentIrql());
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  auto on_done = [](IRP*, void* ctx) { KeSetEvent(static_cast<KEVENT*>(ctx), 0, FALSE); };
  IRP* irp = AllocateManagedIrp(device->StackSize, on_done, &done);
  // Stop, removal and the cancels are notices a driver cannot refuse, so the manager may not
  // fail to send them either: it tries again rather than leave the device half stopped or
  // removed (a single injected failure costs one try; a pool that fails every time is a
  // broken kernel, reported as such).
  const bool must_send = major == IRP_MJ_PNP &&
                         (minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
                          minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_CANCEL_STOP_DEVICE ||
                          minor == IRP_MN_CANCEL_REMOVE_DEVICE);
  for (int attempt = 0; !irp && must_send && attempt < 8; ++attempt)
    irp = AllocateManagedIrp(device->StackSize, on_done, &done);
  if (!irp) {
    if (must_send) ReportViolation("no IRP for PnP request %d that may not fail", minor);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = initial_status;
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
  st->MajorFunction = major;
  st->MinorFunction = minor;
  if (prepare) prepare(st);
  IoCallDriver(device, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  if (information) *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  return status;
}

void FileOpened(DEVICE_OBJECT* pdo) { ++Record(pdo)->open_files; }

void FileClosed(DEVICE_OBJECT* pdo) {
  // Counted without the manager's lock (a closing thread never waits for PnP work); the
  // removal that may have been waiting for this file is checked on the manager's thread.
  --Record(pdo)->open_files;
  ObReferenceObject(pdo);
  Post([pdo] {
    {
      std::lock_guard<std::recursive_mutex> g(M().lock);
      auto* node = static_cast<DevNode*>(Record(pdo)->node);
      DevNode* root = node && Alive(node) ? node : nullptr;
      while (root && !root->remove_waiting) root = root->parent;
      if (root && SubtreeFiles(root) == 0) RemoveSubtree(root);
    }
    ObDereferenceObject(pdo);
  });
}

}  // namespace vorn::kernel::internal

void IoInvalidateDeviceRelations(DEVICE_OBJECT* pdo, DEVICE_RELATION_TYPE type) {
  if (type != BusRelations) return;
  ObReferenceObject(pdo);
  Post([pdo] {
    {
      std::lock_guard<std::recursive_mutex> guard(M().lock);
      auto* node = static_cast<DevNode*>(internal::Record(pdo)->node);
      if (node && Alive(node)) QueryRelations(node);
    }
    ObDereferenceObject(pdo);
  });
}

void IoRequestDeviceEject(DEVICE_OBJECT* pdo) {
  ObReferenceObject(pdo);
  Post([pdo] {
    {
      std::lock_guard<std::recursive_mutex> guard(M().lock);
      auto* node = static_cast<DevNode*>(internal::Record(pdo)->node);
      if (node && Alive(node) && NT_SUCCESS(vorn::kernel::pnp::Remove(node)))
        SendPnp(node, IRP_MN_EJECT, nullptr, nullptr);
    }
    ObDereferenceObject(pdo);
  });
}

NTSTATUS IoGetDeviceProperty(DEVICE_OBJECT* device, DEVICE_REGISTRY_PROPERTY property,
                             ULONG length, PVOID buffer, ULONG* result_length) {
  if (!device || !result_length) return STATUS_INVALID_PARAMETER;
  *result_length = 0;
  auto ids = internal::IdsOf(device);
  if (!ids) return STATUS_INVALID_DEVICE_REQUEST;
  auto multi = [](const std::vector<WString>& list) {
    WString text;
    for (auto& id : list) text += id + WString(1, u'\0');
    return text;
  };
  WString value;
  switch (property) {
    case DevicePropertyDeviceDescription: value = ids->description; break;
    case DevicePropertyHardwareID: value = multi(ids->hardware_ids); break;
    case DevicePropertyCompatibleIDs: value = multi(ids->compatible_ids); break;
    case DevicePropertyDriverKeyName: value = ids->driver_key; break;
    case DevicePropertyLocationInformation: value = ids->location; break;
    case DevicePropertyEnumeratorName: value = ids->device_id.substr(0, ids->device_id.find(u'\\')); break;
    default: return STATUS_INVALID_PARAMETER_2;
  }
  ULONG needed = static_cast<ULONG>((value.size() + 1) * 2);
  *result_length = needed;
  if (length < needed || !buffer) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(buffer, value.c_str(), needed);
  return STATUS_SUCCESS;
}

namespace vorn::kernel::pnp {

void RegisterDriver(WStringView id, DRIVER_OBJECT* driver) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  M().drivers.emplace_back(WString(id), driver);
}

void UnregisterDriver(DRIVER_OBJECT* driver) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  auto& d = M().drivers;
  d.erase(std::remove_if(d.begin(), d.end(), [&](auto& p) { return p.second == driver; }), d.end());
}

DevNode* AddRootDevice(DEVICE_OBJECT* pdo) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  ObReferenceObject(pdo);
  Enumerate(nullptr, pdo);
  return static_cast<DevNode*>(internal::Record(pdo)->node);
}

void WaitIdle() {
  Manager& m = M();
  // Two rounds: a job may queue another (a removal after a relations query).
  for (int round = 0; round < 3; ++round) {
    std::unique_lock<std::mutex> lock(m.queue_lock);
    m.queue_cv.wait(lock, [&] { return m.queue.empty() && !m.busy; });
  }
}

DevNode* FindNode(DEVICE_OBJECT* pdo) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  return static_cast<DevNode*>(internal::Record(pdo)->node);
}

DevNode* FindNodeById(WStringView id) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  for (DevNode* n : M().nodes) {
    if (EqualNoCase(n->info.device_id, id)) return n;
    for (auto& h : n->info.hardware_ids)
      if (EqualNoCase(h, id)) return n;
  }
  return nullptr;
}

DEVICE_OBJECT* Pdo(DevNode* node) { return node->pdo; }
DEVICE_OBJECT* Top(DevNode* node) { return IoGetAttachedDevice(node->pdo); }

std::vector<DevNode*> Children(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  return node->children;
}

static void PreOrder(DevNode* n, std::vector<DevNode*>* out) {
  out->push_back(n);
  for (DevNode* c : n->children) PreOrder(c, out);
}

std::vector<DevNode*> AllNodes() {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  std::vector<DevNode*> out;
  for (DevNode* n : M().nodes)
    if (!n->parent) PreOrder(n, &out);
  return out;
}

NodeInfo Info(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  return node->info;
}

NTSTATUS QueryStop(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  NTSTATUS s = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE, nullptr, nullptr);
  if (NT_SUCCESS(s)) node->info.state = NodeState::kStopPending;
  return s;
}

NTSTATUS CancelStop(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  NTSTATUS s = SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE, nullptr, nullptr);
  node->info.state = NodeState::kStarted;
  return s;
}

NTSTATUS Stop(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  NTSTATUS s = QueryStop(node);
  if (!NT_SUCCESS(s)) {
    CancelStop(node);
    return s;
  }
  s = SendPnp(node, IRP_MN_STOP_DEVICE, nullptr, nullptr);
  node->info.state = NodeState::kStopped;
  return s;
}

NTSTATUS Start(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  if (node->info.state == NodeState::kStopped) {
    NTSTATUS s = SendPnp(node, IRP_MN_START_DEVICE, nullptr, nullptr);
    node->info.state = NT_SUCCESS(s) ? NodeState::kStarted : NodeState::kFailed;
    if (NT_SUCCESS(s)) QueryRelations(node);
    return s;
  }
  if (node->info.state == NodeState::kRemoved || node->info.state == NodeState::kFailed ||
      node->info.state == NodeState::kEnumerated)
    return StartNode(node);
  return STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS QueryRemove(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  std::vector<DevNode*> order, asked;
  CollectSubtree(node, &order);
  for (DevNode* n : order) {
    if (n->info.state == NodeState::kRemoved) continue;
    // The owners of handles to the device hear of it first; a handle still open vetoes it.
    NTSTATUS s = vorn::kernel::device_change::QueryRemove(n->pdo)
                     ? SendPnp(n, IRP_MN_QUERY_REMOVE_DEVICE, nullptr, nullptr)
                     : STATUS_DEVICE_BUSY;
    if (!NT_SUCCESS(s)) {
      vorn::kernel::device_change::RemoveCancelled(n->pdo);
      for (DevNode* a : asked) {
        SendPnp(a, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr, nullptr);
        a->info.state = a->previous;
        vorn::kernel::device_change::RemoveCancelled(a->pdo);
      }
      return s;
    }
    n->previous = n->info.state;
    n->info.state = NodeState::kRemovePending;
    asked.push_back(n);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CancelRemove(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  std::vector<DevNode*> order;
  CollectSubtree(node, &order);
  std::reverse(order.begin(), order.end());
  NTSTATUS result = STATUS_SUCCESS;
  for (DevNode* n : order) {
    if (n->info.state != NodeState::kRemovePending) continue;
    NTSTATUS s = SendPnp(n, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr, nullptr);
    if (n == node) result = s;
    n->info.state = n->previous;
    vorn::kernel::device_change::RemoveCancelled(n->pdo);
  }
  return result;
}

NTSTATUS Remove(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  NTSTATUS s = QueryRemove(node);
  if (!NT_SUCCESS(s)) return s;
  RemoveSubtree(node);
  return STATUS_SUCCESS;
}

void SurpriseRemove(DevNode* node) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  Vanish(node);
}

NTSTATUS QueryCapabilities(DevNode* node, DEVICE_CAPABILITIES* out) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  return QueryCaps(node, out);
}

NTSTATUS Send(DevNode* node, UCHAR minor, const std::function<void(IO_STACK_LOCATION*)>& prepare,
              ULONG_PTR* information) {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  return SendPnp(node, minor, prepare, information);
}

std::vector<std::string> Log() {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  return M().log;
}

void ClearLog() {
  std::lock_guard<std::recursive_mutex> guard(M().lock);
  M().log.clear();
}

}  // namespace vorn::kernel::pnp
