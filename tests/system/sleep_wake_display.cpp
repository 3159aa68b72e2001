#include "tests/system/sleep_wake_display.h"

#include "sim/chip/chip.h"
#include "sim/host/display_host.h"
#include "tools/vorn-sim/session.h"

namespace vorn::sim {
namespace {

constexpr double kExact = 99.0;
constexpr ULONG kRefreshHz = 60;

// The plug-in is loaded as the host loads it, as a module of its own: linked into this
// program, its driver entry would take the name of the station driver's. The module stays
// loaded for the rest of the process, as a host keeps it.
host::DisplayHost* LoadedHost(std::string* error) {
  static host::DisplayHost* host = host::DisplayHost::Load(VORN_MARREL_PATH, error).release();
  return host;
}

class Rig : public DisplayRig {
 public:
  Rig(const SessionOptions& o, host::DisplayHost* host)
      : chip_(SessionProfile(o)), host_(host), session_(std::make_unique<Session>(*host_, chip_, o)) {}
  // The session closes its adapter; the host then drops it, before the chip goes.
  ~Rig() override {
    host::Adapter* adapter = session_->adapter();
    session_.reset();
    if (adapter) host_->RemoveAdapter(*adapter);
  }

  bool BringUp(std::string* error) { return session_->BringUp(error); }
  bool Step() override { return session_->Step(); }
  bool Settle(int timeout_ms) override { return session_->Settle(timeout_ms, kExact); }
  int32_t PowerEvent(uint32_t type) override { return session_->adapter()->PowerEvent(type); }
  bool SetModesAgain() override {
    for (ViewState& v : session_->views()) {
      if (!NT_SUCCESS(session_->adapter()->SetMode(v.display, v.width, v.height, kRefreshHz)))
        return false;
      const HostRect all{0, 0, v.width, v.height};
      if (!NT_SUCCESS(session_->adapter()->Present(v.display, v.desktop->data(), v.desktop->pitch(), {all})))
        return false;
    }
    return true;
  }
  uint64_t DisplayMessages() const override { return session_->DisplayMessages(); }
  uint64_t Acks() const override { return session_->Acks(); }
  uint64_t DifferingPixels() const override {
    const Difference d = session_->DifferenceOf(0);
    return d.shown ? d.pixels : UINT64_MAX;
  }
  size_t Violations() const override { return chip_.violations().Messages().size(); }
  int32_t Close() override { return session_->Close(); }

 private:
  mutable chip::Chip chip_;
  host::DisplayHost* host_;
  std::unique_ptr<Session> session_;
};

}  // namespace

std::unique_ptr<DisplayRig> DisplayRig::Start(std::string* error) {
  const SessionOptions o{.format = Format::kRgb24, .monitors = 1, .usb3 = true, .width = 800,
                         .height = 600, .seed = 7};
  host::DisplayHost* host = LoadedHost(error);
  if (!host) return nullptr;
  auto rig = std::make_unique<Rig>(o, host);
  if (!rig->BringUp(error)) return nullptr;
  return rig;
}

}  // namespace vorn::sim
