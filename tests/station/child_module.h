// A function module for tests: it stands in the table slots of the display, audio and
// microphone functions, keeps one pool object per child and counts what the station asks of
// it, so a test sees children being made, started, stopped and destroyed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/kernel/pool.h"
#include "platform/kernel/usb.h"
#include "station/bus/child_pdo_extension.h"
#include "station/bus/function_modules.h"

namespace vorn::station::testing {

inline constexpr ULONG kTagTestModule = PoolTag("tmod");

struct TestModuleState {
  std::atomic<int> creates{0}, destroys{0}, starts{0}, stops{0}, query_removes{0};
  std::atomic<bool> refuse_remove{false};
  std::atomic<bool> fail_create{false};
  // Fails after writing its context slot, as a careless module might.
  std::atomic<bool> fail_create_dirty{false};
  std::atomic<int> stray_destroys{0};  // Destroy called on a context Create never made
  // While set, Create waits (counted in |held|) until it is cleared by Release().
  std::mutex hold_lock;
  std::condition_variable hold_changed;
  bool hold_create = false;
  std::atomic<int> held{0};
  void Hold() {
    std::lock_guard<std::mutex> guard(hold_lock);
    hold_create = true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> guard(hold_lock);
      hold_create = false;
    }
    hold_changed.notify_all();
  }
  std::atomic<NTSTATUS> start_status{STATUS_SUCCESS};
  std::atomic<USHORT> bcd_usb{0x0200};
  // The last ModuleCreateInfo, as copies.
  std::atomic<ULONG> last_key{0};
  std::atomic<ULONG> last_jacks_bytes{0};
  std::atomic<USHORT> last_parent_bcd{0};
  std::u16string last_product, last_manufacturer;  // written by the worker, read after a wait
};

inline TestModuleState& Module() {
  static TestModuleState state;
  return state;
}

struct TestModuleObject {
  ChildPdoExtension* child;
  UCHAR device_descriptor[18];
};

inline NTSTATUS TestCreate(PVOID* ctx, const ModuleCreateInfo* info) {
  TestModuleState& m = Module();
  {
    std::unique_lock<std::mutex> guard(m.hold_lock);
    if (m.hold_create) {
      ++m.held;
      m.hold_changed.wait(guard, [&] { return !m.hold_create; });
    }
  }
  if (m.fail_create) return STATUS_INSUFFICIENT_RESOURCES;
  if (m.fail_create_dirty) {
    *ctx = &m;
    return STATUS_UNSUCCESSFUL;
  }
  auto* object = static_cast<TestModuleObject*>(ExAllocatePoolWithTag(
      NonPagedPoolNx | POOL_ZERO_ALLOCATION, sizeof(TestModuleObject), kTagTestModule));
  if (!object) return STATUS_INSUFFICIENT_RESOURCES;
  object->child = info->Child;
  USB_DEVICE_DESCRIPTOR d{};
  d.bLength = 18;
  d.bDescriptorType = 1;
  d.bcdUSB = m.bcd_usb;
  static_assert(sizeof d == 18);
  std::memcpy(object->device_descriptor, &d, sizeof d);
  m.last_key = info->ChildKey;
  m.last_jacks_bytes = info->JacksBytes;
  m.last_parent_bcd = info->ParentBcdUsb;
  m.last_product.assign(info->Product, info->ProductBytes / 2);
  m.last_manufacturer.assign(info->Manufacturer ? info->Manufacturer : u"",
                             info->ManufacturerBytes / 2);
  *ctx = object;
  ++m.creates;
  return STATUS_SUCCESS;
}
inline void TestDestroy(PVOID ctx) {
  if (ctx == &Module()) {
    ++Module().stray_destroys;
    return;
  }
  ExFreePoolWithTag(ctx, kTagTestModule);
  ++Module().destroys;
}
inline NTSTATUS TestStart(PVOID) {
  ++Module().starts;
  return Module().start_status;
}
inline void TestStop(PVOID) { ++Module().stops; }
inline bool TestQueryRemove(PVOID, IRP*) {
  ++Module().query_removes;
  return !Module().refuse_remove;
}
inline const UCHAR* TestDeviceDescriptor(PVOID ctx) {
  return static_cast<TestModuleObject*>(ctx)->device_descriptor;
}

// Puts the module into the slots of |functions| (after the driver has loaded: its entry
// fills the table) and resets the counts.
inline void InstallTestModule(std::initializer_list<ULONG> functions = {0, 3, 8}) {
  TestModuleState& m = Module();
  m.creates = m.destroys = m.starts = m.stops = m.query_removes = 0;
  m.refuse_remove = false;
  m.fail_create = false;
  m.fail_create_dirty = false;
  m.stray_destroys = 0;
  m.Release();
  m.held = 0;
  m.start_status = STATUS_SUCCESS;
  m.bcd_usb = 0x0200;
  FunctionModuleOps ops{};
  ops.Create = TestCreate;
  ops.Destroy = TestDestroy;
  ops.Start = TestStart;
  ops.Stop = TestStop;
  ops.QueryRemove = TestQueryRemove;
  ops.GetDeviceDescriptor = TestDeviceDescriptor;
  for (ULONG f : functions) {
    g_FunctionModules[f].Ops = ops;
    g_FunctionModules[f].Registered = 1;
    g_FunctionModules[f].Enabled = 1;
  }
}

}  // namespace vorn::station::testing
