#include "tests/sweep/panel_station.h"

#include "platform/kernel/interfaces.h"
#include "protocol/guids.h"
#include "tests/sweep/station_bench.h"

namespace vorn::sweep {

namespace {
constexpr char16_t kPanelHardwareId[] = u"USB\\VID_3A7C&PID_0A5E";
}

PanelStation::PanelStation(Run& run) {
  chip::ChipProfile p = chip::MakeProfile({});
  p.vendor_id = 0x3A7C;
  p.product_id = 0x0A5E;
  bench_ = std::make_unique<StationBench>(run, std::move(p), nullptr, kPanelHardwareId);
}

PanelStation::~PanelStation() = default;

bool PanelStation::loaded() const { return bench_->loaded(); }

bool PanelStation::Arrive() {
  if (!bench_->Attach()) {
    bench_->run().Expect(!bench_->run().clean(), "a clean chip is attached");
    return false;
  }
  bench_->Settle();
  return bench_->Serving();
}

void PanelStation::Remove() { bench_->Remove(); }

chip::Chip& PanelStation::chip() { return bench_->chip(); }

std::u16string PanelStation::InterfacePath() const {
  const std::vector<WString> links = kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid);
  if (links.empty()) return {};
  std::u16string path(links[0]);
  path[1] = u'\\';  // "\??\" as the kernel names it, "\\?\" as an application does
  return path;
}

}  // namespace vorn::sweep
