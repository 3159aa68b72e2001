#include "tests/system/station_road_display.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "sim/host/display_host.h"
#include "tools/vorn-sim/session.h"

namespace vorn::sim {
namespace {

constexpr uint32_t kWidth = 800, kHeight = 600;

// The plug-in as the host loads it, a module of its own (linked in, its driver entry would
// take the station driver's name); it stays loaded for the process, as a host keeps it.
host::DisplayHost* LoadedHost(std::string* error) {
  static host::DisplayHost* loaded = host::DisplayHost::Load(VORN_MARREL_PATH, error).release();
  return loaded;
}

// The child's USB device as the host sees it, counting what came back on the way up.
class Watched : public usb::UsbDevice {
 public:
  explicit Watched(usb::UsbDevice* inner) : inner_(inner) {}
  void Submit(usb::Transfer& t) override {
    if (t.endpoint == 0x83 || t.endpoint == 0x02) {
      std::lock_guard<std::mutex> guard(lock_);
      ++submitted_;
      completions_[&t] = std::move(t.complete);
      t.complete = [this](usb::Transfer& done) {
        std::function<void(usb::Transfer&)> next;
        {
          std::lock_guard<std::mutex> guard(lock_);
          next = std::move(completions_[&done]);
          completions_.erase(&done);
          ++ended_;
          if (done.endpoint == 0x02 && done.has_system_status && !NT_SUCCESS(done.system_status))
            failed_out_.push_back(done.system_status);
          if (done.status == usb::TransferStatus::kSuccess && done.actual > 0) {
            if (done.endpoint == 0x83) ++interrupt_packets_;
            else ++bulk_out_transfers_;
          }
          if (done.endpoint == 0x83 && done.has_system_status) last_interrupt_status_ = done.system_status;
        }
        done.complete = next;
        if (next) next(done);
      };
    }
    inner_->Submit(t);
  }
  bool Cancel(usb::Transfer& t) override { return inner_->Cancel(t); }
  void ResetEndpoint(uint8_t endpoint) override { inner_->ResetEndpoint(endpoint); }
  bool Connected() const override { return inner_->Connected(); }

  uint64_t interrupt_packets() const {
    std::lock_guard<std::mutex> guard(lock_);
    return interrupt_packets_;
  }
  int32_t last_interrupt_status() const {
    std::lock_guard<std::mutex> guard(lock_);
    return last_interrupt_status_;
  }
  uint64_t bulk_out_transfers() const {
    std::lock_guard<std::mutex> guard(lock_);
    return bulk_out_transfers_;
  }
  std::pair<uint64_t, uint64_t> submitted_and_ended() const {
    std::lock_guard<std::mutex> guard(lock_);
    return {submitted_, ended_};
  }
  std::vector<int32_t> failed_out() const {
    std::lock_guard<std::mutex> guard(lock_);
    return failed_out_;
  }

 private:
  usb::UsbDevice* inner_;
  mutable std::mutex lock_;
  std::map<usb::Transfer*, std::function<void(usb::Transfer&)>> completions_;
  uint64_t interrupt_packets_ = 0, bulk_out_transfers_ = 0;
  uint64_t submitted_ = 0, ended_ = 0;
  std::vector<int32_t> failed_out_;
  int32_t last_interrupt_status_ = 0;
};

class Display : public RoadDisplay {
 public:
  Display(chip::Chip& chip, host::DisplayHost* host) : chip_(chip), host_(host) {}
  ~Display() override { Drop(); }

  bool Bind(usb::UsbDevice* device, std::string* error) override {
    host::Adapter* adapter;
    {
      std::lock_guard<std::mutex> guard(lock_);
      watched_ = std::make_unique<Watched>(device);
      adapter_ = adapter = &host_->AddAdapter(watched_.get());
    }
    if (!adapter->Open()) return Fail(error, "the plug-in refused the adapter");
    if (!NT_SUCCESS(adapter->Start())) return Fail(error, "Start failed");
    display_ = adapter->HeldDisplay(0);
    if (!display_) return Fail(error, "no view was handed to the host");
    std::vector<TargetMode> modes;
    if (!NT_SUCCESS(adapter->GetModes(display_, &modes))) return Fail(error, "GetModes failed");
    bool offered = false;
    for (const TargetMode& m : modes) offered |= m.Width == kWidth && m.Height == kHeight;
    if (!offered) return Fail(error, "800 x 600 is not offered");
    if (!NT_SUCCESS(adapter->SetMode(display_, kWidth, kHeight, 60))) return Fail(error, "SetMode failed");
    view_ = static_cast<int>(display_->ViewIndex);
    chip_.frames().SetMode(view_, kWidth, kHeight);
    whole_ = true;
    return true;
  }
  bool Present(int steps) override {
    for (int i = 0; i < steps; ++i) {
      std::vector<HostRect> dirty = scene_.Step();
      // A display the host has just opened is shown the whole desktop first.
      if (whole_) dirty = {HostRect{0, 0, kWidth, kHeight}};
      whole_ = false;
      if (!NT_SUCCESS(adapter_->Present(display_, desktop_.data(), desktop_.pitch(), dirty)))
        return false;
    }
    return true;
  }
  bool CaughtUp() const override {
    auto shown = chip_.frames().Shown(view_);
    if (!shown) return false;
    const Difference d = Compare(desktop_, *shown);
    return d.shown && d.pixels == 0 && chip_.frames().PendingAcks() == 0 &&
           chip_.frames().AckedSequences().size() == chip_.station_bulk_out().Completed(0);
  }
  uint64_t InterruptPackets() const override { return watched_->interrupt_packets(); }
  uint64_t BulkOutTransfers() const override { return watched_->bulk_out_transfers(); }
  int32_t LastInterruptStatus() const override { return watched_->last_interrupt_status(); }
  std::pair<uint64_t, uint64_t> TransfersSubmittedAndEnded() const override {
    return watched_->submitted_and_ended();
  }
  std::vector<int32_t> FailedOutStatuses() const override { return watched_->failed_out(); }
  int32_t Close() override {
    host::Adapter* adapter;
    {
      std::lock_guard<std::mutex> guard(lock_);
      adapter = adapter_;
    }
    if (!adapter) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = adapter->Close();
    Drop();
    return status;
  }
  void Drop() override {
    std::lock_guard<std::mutex> guard(lock_);
    if (adapter_) host_->RemoveAdapter(*adapter_);
    adapter_ = nullptr;
  }
  bool Bound() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return adapter_ != nullptr;
  }

 private:
  static bool Fail(std::string* error, const char* what) {
    if (error) *error = what;
    return false;
  }

  chip::Chip& chip_;
  host::DisplayHost* host_;
  mutable std::mutex lock_;
  std::unique_ptr<Watched> watched_;
  host::Adapter* adapter_ = nullptr;
  DisplayInterface* display_ = nullptr;
  int view_ = 0;
  bool whole_ = false;  // the next Present shows the whole desktop
  host::Desktop desktop_{kWidth, kHeight};
  host::DesktopScene scene_{desktop_, {.seed = 7}};
};

}  // namespace

std::unique_ptr<RoadDisplay> RoadDisplay::Make(chip::Chip& chip, std::string* error) {
  host::DisplayHost* host = LoadedHost(error);
  if (!host) return nullptr;
  // In 24-bit RGB the plug-in keeps no rectangle ring: all of memory may hold planes.
  chip.frames().SetRing(chip.frames().MemorySize(), chip.frames().MemorySize());
  return std::make_unique<Display>(chip, host);
}

chip::ChipProfile RoadProfile() {
  return SessionProfile({.format = Format::kRgb24, .monitors = 1, .usb3 = true, .width = kWidth,
                         .height = kHeight, .seed = 7});
}

}  // namespace vorn::sim
