#include "tests/sweep/station_bench.h"

#include "platform/kernel/interfaces.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/wdm.h"
#include "protocol/guids.h"
#include "sim/chip/transfer_faults.h"
#include "station/driver_entry.h"
#include "station/registry.h"
#include "station/station_start.h"

namespace vorn::sweep {

namespace pnp = kernel::pnp;

namespace {

constexpr char16_t kServiceName[] = u"hollin";

WString ServicePath() { return WString(kernel::registry::kServicesPath) + u"\\" + kServiceName; }

WString StationKey(ULONG index) {
  char16_t key[station::kStationKeyChars];
  station::FormatStationKey(index, key);
  return ServicePath() + u"\\" + key;
}

}  // namespace

StationBench::StationBench(Run& run, chip::ChipProfile profile,
                           const std::function<void()>& parameters, const char16_t* hardware_id)
    : run_(run), chip_(std::move(profile)) {
  kernel::registry::Reset();
  kernel::SetOsVersion(10, 0, 19045);
  if (parameters) parameters();
  chip_.UseStationBulkOut(true);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  driver_ = kernel::LoadDriver(kServiceName, DriverEntry, &status);
  if (!driver_) {
    run_.Step("driver did not load");
    run_.Expect(!run_.clean(), "the driver loads");
    return;
  }
  run_.Step("driver loaded");
  pnp::RegisterDriver(hardware_id, driver_);
  bus_ = std::make_unique<usb::UsbBus>();
  // A pulled adapter leaves the bus: a transfer the chip still held ends as the device's
  // transfers end when it is unplugged. The pull ends when the PnP manager has taken the
  // device away, so no node that the scenario looks up afterwards is being removed under it.
  run_.SetPull([this] {
    chip_.Unplug();
    bus_->Detach(chip_);
    pnp::WaitIdle();
  });
}

StationBench::~StationBench() {
  run_.EndWork();
  // The bus takes every device on it with it; the chip then leaves as well, so nothing of the
  // station still reads from it.
  bus_.reset();
  pnp::WaitIdle();
  kernel::WaitWorkIdle();
  chip_.Unplug();
  if (driver_) {
    pnp::UnregisterDriver(driver_);
    kernel::UnloadDriver(driver_);
  }
}

void StationBench::SetParameter(WStringView name, ULONG type, const void* data, size_t size) {
  kernel::registry::SetValue(ServicePath() + u"\\Parameters", name, type, data, size);
}

bool StationBench::Attach() {
  if (!bus_) return false;
  pdo_ = bus_->Attach(chip_);
  pnp::WaitIdle();
  run_.Step(pdo_ ? "attached" : "not attached");
  return pdo_ != nullptr;
}

ULONG StationBench::Dword(WStringView name) {
  ULONG v = 0xDEADBEEF;
  kernel::registry::GetDword(StationKey(kFirstStation), name, &v);
  return v;
}

bool StationBench::Serving() const {
  // The step values are lost when the registry cannot allocate: the enabled interface tells.
  return ThdState() == station::kThdServing ||
         !kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty();
}

// A pulled adapter's PDO goes away with its removal: it is not looked at after the pull.
pnp::DevNode* StationBench::node() const {
  return pdo_ && !run_.pulled() ? pnp::FindNode(pdo_) : nullptr;
}

station::StationExtension* StationBench::station() const {
  pnp::DevNode* n = node();
  if (!n || pnp::Info(n).state != pnp::NodeState::kStarted) return nullptr;
  DEVICE_OBJECT* top = pnp::Top(n);
  return top && station::IsStationDevice(top) ? station::Station(top) : nullptr;
}

bool StationBench::Settle() {
  const int64_t start = clock::NowNs();
  auto settled = [&] {
    pnp::DevNode* n = node();
    if (!n) return true;
    const pnp::NodeState state = pnp::Info(n).state;
    // Attach waited for the PnP manager: a node it did not start stays as it is.
    if (state != pnp::NodeState::kStarted) return true;
    const ULONG hal = HalState(), thd = ThdState();
    if (hal == 0xDEADBEEF || hal == station::kHalCleanedUp) return true;
    // A start that failed before its sequence still completes START, and says so here.
    ULONG error = 0;
    if (kernel::registry::GetDword(ServicePath() + u"\\Parameters", u"ErrorCode", &error) &&
        error != 0)
      return true;
    if (Serving() || thd == station::kThdEnding || thd == station::kThdStopped)
      return true;
    // A transfer held for ever by the chip that the driver waits for without a limit.
    return run_.injection().kind == FaultKind::kTimeOut && chip::TransferFaultFired() &&
           clock::NowNs() - start > int64_t{20'000'000'000};
  };
  const bool ok = WaitReal(settled);
  pnp::DevNode* n = node();
  run_.Step("settled: node " + (n ? std::to_string(static_cast<int>(pnp::Info(n).state)) : "gone") +
            ", HalState " + std::to_string(HalState()) + ", ThdState " +
            std::to_string(ThdState()) + (ok ? "" : " (still moving)"));
  return ok;
}

NTSTATUS StationBench::Stop() {
  if (run_.pulled()) return STATUS_NO_SUCH_DEVICE;
  pnp::DevNode* n = node();
  if (!n) return STATUS_NO_SUCH_DEVICE;
  const NTSTATUS status = pnp::Stop(n);
  pnp::WaitIdle();
  run_.Step("stop: " + std::to_string(static_cast<unsigned>(status)));
  return status;
}

NTSTATUS StationBench::Remove() {
  run_.EndWork();
  pnp::WaitIdle();
  // A pulled adapter is gone already: its node may no longer be there to remove.
  if (run_.pulled()) return STATUS_NO_SUCH_DEVICE;
  pnp::DevNode* n = node();
  if (!n) return STATUS_NO_SUCH_DEVICE;
  const NTSTATUS status = pnp::Remove(n);
  pnp::WaitIdle();
  run_.Step("remove: " + std::to_string(static_cast<unsigned>(status)));
  return status;
}

}  // namespace vorn::sweep
