#include "tests/sweep/frames_display.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "sim/host/display_host.h"
#include "tools/vorn-sim/session.h"

namespace vorn::sweep {
namespace {

constexpr uint32_t kWidth = 800, kHeight = 600;
// The rounding the formats may show (as the system tests allow).
constexpr double kYuvPsnr = 30.0;
constexpr double kJpegPsnr = 28.0;

sim::Format SimFormat(FrameFormat f) {
  switch (f) {
    case FrameFormat::kRgb24: return sim::Format::kRgb24;
    case FrameFormat::kYuv420: return sim::Format::kYuv420;
    case FrameFormat::kYuv420Planar: return sim::Format::kYuv420Planar;
    case FrameFormat::kJpeg: return sim::Format::kJpeg;
  }
  return sim::Format::kRgb24;
}

host::DisplayHost* LoadedHost(std::string* error) {
  static std::string load_error;
  static host::DisplayHost* loaded = host::DisplayHost::Load(VORN_MARREL_PATH, &load_error).release();
  if (!loaded && error) *error = load_error;
  return loaded;
}

// The child's USB device as the host sees it, counting how the plug-in's transfers ended.
class Watched : public usb::UsbDevice {
 public:
  explicit Watched(usb::UsbDevice* inner) : inner_(inner) {}
  void Submit(usb::Transfer& t) override {
    if (t.endpoint == 0) {
      // The plug-in's vendor requests: only how many failed.
      std::lock_guard<std::mutex> guard(lock_);
      completions_[&t] = std::move(t.complete);
      t.complete = [this](usb::Transfer& done) {
        std::function<void(usb::Transfer&)> next;
        {
          std::lock_guard<std::mutex> guard(lock_);
          next = std::move(completions_[&done]);
          completions_.erase(&done);
          if (done.status != usb::TransferStatus::kSuccess && done.status != usb::TransferStatus::kCancelled)
            ++traffic_.requests_failed;
        }
        done.complete = next;
        if (next) next(done);
      };
    } else if (t.endpoint == 0x83 || t.endpoint == 0x02) {
      std::lock_guard<std::mutex> guard(lock_);
      ++traffic_.submitted;
      completions_[&t] = std::move(t.complete);
      t.complete = [this](usb::Transfer& done) {
        std::function<void(usb::Transfer&)> next;
        {
          std::lock_guard<std::mutex> guard(lock_);
          next = std::move(completions_[&done]);
          completions_.erase(&done);
          ++traffic_.ended;
          if (done.status == usb::TransferStatus::kSuccess) {
            if (done.endpoint == 0x02) {
              ++traffic_.out_ok;
              traffic_.out_ok_bytes += done.actual;
            }
          } else if (done.status != usb::TransferStatus::kCancelled) {
            if (!traffic_.failed++) traffic_.first_failure = done.has_system_status ? done.system_status : -1;
          }
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

  FramesDisplay::Traffic traffic() const {
    std::lock_guard<std::mutex> guard(lock_);
    return traffic_;
  }

 private:
  usb::UsbDevice* inner_;
  mutable std::mutex lock_;
  std::map<usb::Transfer*, std::function<void(usb::Transfer&)>> completions_;
  FramesDisplay::Traffic traffic_;
};

class Display : public FramesDisplay {
 public:
  Display(FrameFormat format, host::DisplayHost* host) : format_(format), host_(host) {}
  ~Display() override { Drop(); }

  bool Bind(usb::UsbDevice* device, chip::Chip& chip, std::string* error) override {
    // The device may leave while the host opens the adapter on it: the leaving waits.
    std::lock_guard<std::mutex> use(use_);
    chip_ = &chip;
    // In 24-bit RGB the plug-in keeps no rectangle ring: all of memory may hold planes.
    if (format_ == FrameFormat::kRgb24)
      chip.frames().SetRing(chip.frames().MemorySize(), chip.frames().MemorySize());
    host::Adapter* adapter;
    {
      std::lock_guard<std::mutex> guard(lock_);
      watched_ = std::make_unique<Watched>(device);
      adapter_ = adapter = &host_->AddAdapter(watched_.get());
    }
    if (!adapter->Open()) return Fail(error, "the plug-in refused the adapter");
    NTSTATUS status = adapter->Start();
    if (!NT_SUCCESS(status)) return Fail(error, "Start failed: " + StatusName(status));
    display_ = adapter->HeldDisplay(0);
    if (!display_) return Fail(error, "no view was handed to the host");
    std::vector<TargetMode> modes;
    status = adapter->GetModes(display_, &modes);
    if (!NT_SUCCESS(status)) return Fail(error, "GetModes failed: " + StatusName(status));
    bool offered = false;
    for (const TargetMode& m : modes) offered |= m.Width == kWidth && m.Height == kHeight;
    if (!offered) return Fail(error, "800 x 600 is not offered");
    chip.frames().SetMode(static_cast<int>(display_->ViewIndex), kWidth, kHeight);
    status = adapter->SetMode(display_, kWidth, kHeight, 60);
    if (!NT_SUCCESS(status)) return Fail(error, "SetMode failed: " + StatusName(status));
    view_ = static_cast<int>(display_->ViewIndex);
    whole_ = true;
    return true;
  }

  bool Present(int steps) override {
    std::lock_guard<std::mutex> use(use_);
    if (!adapter_) return false;
    for (int i = 0; i < steps; ++i) {
      std::vector<HostRect> dirty = scene_.Step();
      if (whole_) dirty = {HostRect{0, 0, kWidth, kHeight}};
      whole_ = false;
      if (!NT_SUCCESS(adapter_->Present(display_, desktop_.data(), desktop_.pitch(), dirty)))
        return false;
    }
    return true;
  }

  bool CaughtUp() const override {
    if (!chip_) return false;
    auto shown = chip_->frames().Shown(view_);
    if (!shown) return false;
    const sim::Difference d = sim::Compare(desktop_, *shown);
    bool matches = d.shown;
    if (format_ == FrameFormat::kRgb24) matches = matches && d.pixels == 0;
    else if (format_ == FrameFormat::kJpeg) matches = matches && d.psnr >= kJpegPsnr;
    else matches = matches && d.flat_misses == 0 && d.psnr >= kYuvPsnr;
    return matches && chip_->frames().PendingAcks() == 0 &&
           chip_->frames().AckedSequences().size() == chip_->station_bulk_out().Completed(0);
  }

  Traffic traffic() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return watched_ ? watched_->traffic() : Traffic{};
  }

  int32_t Close() override {
    std::lock_guard<std::mutex> use(use_);
    if (!adapter_) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = adapter_->IsOpen() ? adapter_->Close() : STATUS_SUCCESS;
    DropLocked();
    return status;
  }
  void Drop() override {
    std::lock_guard<std::mutex> use(use_);
    DropLocked();
  }
  bool Bound() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return adapter_ != nullptr;
  }

 private:
  void DropLocked() {
    std::lock_guard<std::mutex> guard(lock_);
    if (adapter_) host_->RemoveAdapter(*adapter_);
    adapter_ = nullptr;
  }
  static bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
  }

  const FrameFormat format_;
  host::DisplayHost* host_;
  chip::Chip* chip_ = nullptr;
  // Held while the host calls the plug-in on the adapter, and while it drops the adapter.
  std::mutex use_;
  mutable std::mutex lock_;  // adapter_ and watched_ for the readers
  std::unique_ptr<Watched> watched_;
  host::Adapter* adapter_ = nullptr;
  DisplayInterface* display_ = nullptr;
  int view_ = 0;
  bool whole_ = false;
  host::Desktop desktop_{kWidth, kHeight};
  host::DesktopScene scene_{desktop_, {.seed = 11}};
};

}  // namespace

const char* FrameFormatName(FrameFormat f) { return sim::FormatName(SimFormat(f)); }

chip::ChipProfile FramesDisplay::Profile(FrameFormat format) {
  return sim::SessionProfile({.format = SimFormat(format), .monitors = 1, .usb3 = true,
                              .width = kWidth, .height = kHeight, .seed = 11});
}

std::unique_ptr<FramesDisplay> FramesDisplay::Make(FrameFormat format, std::string* error) {
  host::DisplayHost* host = LoadedHost(error);
  if (!host) return nullptr;
  return std::make_unique<Display>(format, host);
}

}  // namespace vorn::sweep
