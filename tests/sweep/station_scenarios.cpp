// Scenarios on the station driver alone: its start and stop.
#include <algorithm>

#include "platform/kernel/interfaces.h"
#include "protocol/guids.h"
#include "protocol/vendor_request.h"
#include "station/station_start.h"
#include "tests/sweep/scenarios.h"
#include "tests/sweep/station_bench.h"

namespace vorn::sweep {

namespace {

bool ChipAnswered(chip::Chip& chip, uint8_t request) {
  const auto requests = chip.log().VendorRequests();
  return std::any_of(requests.begin(), requests.end(), [&](const chip::LoggedRequest& r) {
    return r.setup.bRequest == request && r.status == usb::TransferStatus::kSuccess;
  });
}

bool InterfaceEnabled() {
  return !kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty();
}

void StartStop(Run& run) {
  StationBench bench(run, chip::MakeProfile({}));
  if (!bench.loaded()) return;
  if (!bench.Attach()) {
    run.Expect(!run.clean(), "a clean chip is attached");
    return;
  }
  bench.Settle();
  const bool serving = bench.Serving() || InterfaceEnabled();
  run.Step(serving ? "serving" : "not serving");
  if (run.clean()) run.Expect(serving, "a clean start ends serving");
  if (serving && !run.pulled()) {
    // A station that serves has read the firmware's identity from the chip and offers its
    // control interface.
    run.Expect(ChipAnswered(bench.chip(), protocol::ReqReadDeviceValue),
               "serving without the chip having answered a device value request");
    run.Expect(InterfaceEnabled(), "serving without the control interface enabled");
  }
  if (bench.node() && !run.pulled()) {
    // A station whose AddDevice failed has no station values to clean up.
    const bool assigned = bench.HalState() != 0xDEADBEEF;
    const NTSTATUS stop = bench.Stop();
    // The step values may be lost when the registry itself cannot allocate.
    const bool registry_faulted =
        run.injection().kind == FaultKind::kPool && run.injection().tag == PoolTag("regy");
    if (!run.pulled() && assigned) {
      if (run.clean()) run.Expect(stop == STATUS_SUCCESS, "the stop succeeds");
      if (NT_SUCCESS(stop)) {
        run.Expect(registry_faulted || bench.HalState() == station::kHalCleanedUp,
                   "a stopped station is cleaned up");
        run.Expect(!InterfaceEnabled(), "a stopped station keeps its control interface");
      } else if (serving) {
        // A refused stop leaves the station as it was.
        run.Expect(InterfaceEnabled(), "a refused stop took the control interface away");
      }
    }
  }
  bench.Remove();
}

}  // namespace

Scenario StationStartStop() { return {"StationStartStop", StartStop}; }

}  // namespace vorn::sweep
