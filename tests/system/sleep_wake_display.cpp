#include "tests/system/sleep_wake_display.h"

#include "sim/chip/chip.h"
#include "sim/host/display_host.h"
#include "tools/vorn-sim/session.h"

namespace vorn::sim {
namespace {

constexpr double kExact = 99.0;
constexpr ULONG kRefreshHz = 60;

// The plug-in is loaded as the host loads it, as a module of its own: linked into this
// program, its driver entry would take the name of the station driver's.
class Rig : public DisplayRig {
 public:
  Rig(const SessionOptions& o, std::unique_ptr<host::DisplayHost> host)
      : chip_(SessionProfile(o)), host_(std::move(host)), session_(*host_, chip_, o) {}

  bool BringUp(std::string* error) { return session_.BringUp(error); }
  bool Step() override { return session_.Step(); }
  bool Settle(int timeout_ms) override { return session_.Settle(timeout_ms, kExact); }
  int32_t PowerEvent(uint32_t type) override { return session_.adapter()->PowerEvent(type); }
  bool SetModesAgain() override {
    for (ViewState& v : session_.views()) {
      if (!NT_SUCCESS(session_.adapter()->SetMode(v.display, v.width, v.height, kRefreshHz)))
        return false;
      const HostRect all{0, 0, v.width, v.height};
      if (!NT_SUCCESS(session_.adapter()->Present(v.display, v.desktop->data(), v.desktop->pitch(), {all})))
        return false;
    }
    return true;
  }
  uint64_t DisplayMessages() const override { return session_.DisplayMessages(); }
  uint64_t Acks() const override { return session_.Acks(); }
  uint64_t DifferingPixels() const override {
    const Difference d = session_.DifferenceOf(0);
    return d.shown ? d.pixels : UINT64_MAX;
  }
  size_t Violations() const override { return chip_.violations().Messages().size(); }
  int32_t Close() override { return session_.Close(); }

 private:
  mutable chip::Chip chip_;
  std::unique_ptr<host::DisplayHost> host_;
  Session session_;
};

}  // namespace

std::unique_ptr<DisplayRig> DisplayRig::Start(std::string* error) {
  const SessionOptions o{.format = Format::kRgb24, .monitors = 1, .usb3 = true, .width = 800,
                         .height = 600, .seed = 7};
  std::unique_ptr<host::DisplayHost> host = host::DisplayHost::Load(VORN_MARREL_PATH, error);
  if (!host) return nullptr;
  auto rig = std::make_unique<Rig>(o, std::move(host));
  if (!rig->BringUp(error)) return nullptr;
  return rig;
}

}  // namespace vorn::sim
