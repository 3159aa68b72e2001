// A burst of frames through the station's display child, one scenario per frame format: the
// station serves the chip with its display function, the PnP manager binds the host's upper
// driver to the display child, the display host opens the plug-in on the child's USB device,
// sets the monitor's mode and presents a few steps of a desktop. A clean run ends with the
// monitor showing the desktop and every frame acknowledged; whatever run it is, no bulk-OUT
// transfer the plug-in was told succeeded may carry more than reached the chip.
#include <mutex>
#include <string>

#include "platform/kernel/pnp.h"
#include "platform/kernel/registry.h"
#include "platform/usb/bus/child_usb_device.h"
#include "sim/chip/jpeg_decode.h"
#include "sim/chip/transfer_faults.h"
#include "tests/sweep/frames_display.h"
#include "tests/sweep/scenarios.h"
#include "tests/sweep/station_bench.h"

namespace vorn::sweep {

namespace {

constexpr char16_t kDisplayChildId[] = u"USB\\VID_1D5C&PID_2000";
constexpr int kBurst = 4;
constexpr uint32_t kHeaderBytes = 32;

// The upper driver's view of the display child: the device it was handed, if any.
struct Child {
  std::mutex lock;
  usb::ChildUsbDevice* device = nullptr;
  int arrivals = 0, leavings = 0;
  usb::ChildUsbDevice* Get() {
    std::lock_guard<std::mutex> guard(lock);
    return device;
  }
};

// Bytes of frame messages that reached the chip, as the plug-in counts them: each message's
// header once and the data of every slice (of a message completed or not: a failure may cut
// one short, after pieces that reached the chip were rightly told sent).
uint64_t ChipMessageBytes(chip::Chip& chip) {
  uint64_t bytes = 0;
  for (const chip::StationBulkOut::SliceRecord& s : chip.station_bulk_out().Slices()) {
    const bool two_plane = s.type == 7;  // one header, the whole payload behind it
    bytes += two_plane ? s.total : s.slice_length;
    if (two_plane || s.slice_offset == 0) bytes += kHeaderBytes;
  }
  return bytes;
}

void Frames(Run& run, FrameFormat format) {
  std::string error;
  std::unique_ptr<FramesDisplay> display = FramesDisplay::Make(format, &error);
  if (!run.Expect(display != nullptr, "the plug-in loads: " + error)) return;
  Child child;
  // The upper driver outlives the bench, whose end takes the display child away.
  std::unique_ptr<usb::ChildUsbDriver> upper;
  auto owned = std::make_unique<StationBench>(run, FramesDisplay::Profile(format), [] {
    const ULONG support = 1;  // child devices on
    StationBench::SetParameter(u"SupportPDOs", REG_DWORD, &support, sizeof support);
  });
  StationBench& bench = *owned;
  if (!bench.loaded()) return;
  bench.chip().functions().SetFunction(0, 0x1D5C, 0x2000, u"Display");
  upper = std::make_unique<usb::ChildUsbDriver>(
      u"vornhostupper", kDisplayChildId,
      [&](usb::ChildUsbDevice* d) {
        std::lock_guard<std::mutex> guard(child.lock);
        child.device = d;
        ++child.arrivals;
      },
      [&](usb::ChildUsbDevice*) {
        // The host lets go of the adapter before the device goes.
        display->Drop();
        std::lock_guard<std::mutex> guard(child.lock);
        child.device = nullptr;
        ++child.leavings;
      });
  if (!run.Expect(upper->driver() != nullptr, "the host's upper driver loads")) return;

  if (!bench.Attach()) {
    run.Expect(!run.clean(), "a clean chip is attached");
  } else {
    bench.Settle();
    kernel::pnp::WaitIdle();
    usb::ChildUsbDevice* device = child.Get();
    run.Step(device ? "display child handed over" : "no display child");
    if (run.clean()) run.Expect(device != nullptr, "a clean station hands over its display child");
    bool bound = false;
    if (device) {
      bound = display->Bind(device, bench.chip(), &error);
      run.Step(bound ? "bound" : "bind: " + error);
      if (run.clean()) run.Expect(bound, "the plug-in runs on a clean display child: " + error);
    }
    if (bound) {
      // The plug-in's frame lock gives up after 10 s of its clock, and Present and the encoder
      // would then share the frame: ten times real speed keeps a conversion under a sanitizer
      // within it. (The bring-up before, with its pause of 2 s, runs at the bench's speed.)
      clock::ScopedSpeed speed(10);
      const bool presented = display->Present(kBurst);
      run.Step(presented ? "presented" : "a present failed");
      if (run.clean()) run.Expect(presented, "a clean burst is presented");
      // The frames reach the monitor, or a transfer failed (which ends the adapter on this
      // road), or the adapter went; a transfer the chip holds for ever ends only when the
      // plug-in's own time-out gives up on it, and nothing need follow.
      const int64_t start = clock::NowNs();
      const bool settled = WaitReal([&] {
        const FramesDisplay::Traffic t = display->traffic();
        return display->CaughtUp() || t.failed > 0 || (!run.clean() && t.requests_failed > 0) || run.pulled() ||
               !display->Bound() ||
               (run.injection().kind == FaultKind::kTimeOut && chip::TransferFaultFired() &&
                clock::NowNs() - start > int64_t{20'000'000'000});
      });
      const bool caught_up = display->CaughtUp();
      const FramesDisplay::Traffic t = display->traffic();
      run.Step(std::string(caught_up ? "caught up" : "not caught up") + ", " +
               std::to_string(t.out_ok) + " transfers out, " + std::to_string(t.failed) +
               " failed (first " + StatusName(t.first_failure) + "), " +
               std::to_string(t.requests_failed) + " requests failed");
      run.Expect(settled, "the burst neither reaches the monitor nor fails");
      if (run.clean()) run.Expect(caught_up, "a clean burst reaches the monitor");
      // A plug-in that lost none of its transfers and requests to a fault of the station and
      // still has its adapter shows the whole desktop in the end. (A failed request may leave
      // the output off, and a mode set goes on then; how the plug-in recovers from a failed
      // allocation of its own heaps is not held to this.)
      if (settled && !caught_up && t.failed == 0 && t.requests_failed == 0 && !run.pulled() &&
          display->Bound() && run.injection().kind != FaultKind::kTimeOut &&
          run.injection().kind != FaultKind::kHeap)
        run.Problem("no transfer failed, yet the monitor does not show the desktop");
    }
  }
  run.EndWork();
  if (display->Bound()) {
    const NTSTATUS closed = display->Close();
    run.Step("close: " + StatusName(closed));
    if (run.clean()) run.Expect(closed == STATUS_SUCCESS, "a clean adapter closes");
  }
  // Only the header of a message is answered before its data reaches the chip: one header
  // may be told sent for a message that then failed.
  const FramesDisplay::Traffic t = display->traffic();
  run.Expect(t.submitted == t.ended, "a transfer of the plug-in never ended");
  // A transfer cut short on the wire (one the chip held, cancelled) is followed by a reset of
  // the pipe, so the chip reads the next message from its header and its slices still count
  // what reached it.
  const size_t violations = bench.chip().violations().Messages().size();
  if (violations) run.Step(std::to_string(violations) + " chip violations");
  if (!run.pulled())
    run.Expect(t.out_ok_bytes <= ChipMessageBytes(bench.chip()) + kHeaderBytes,
               "the plug-in was told " + std::to_string(t.out_ok_bytes) + " bytes sent, the chip got " +
                   std::to_string(ChipMessageBytes(bench.chip())));
  if (run.clean())
    for (const std::string& v : bench.chip().violations().Messages()) run.Problem("chip: " + v);
  bench.Remove();
  // A removal that failed (its own allocation) leaves the station until the bench goes.
  owned.reset();
  {
    std::lock_guard<std::mutex> guard(child.lock);
    run.Expect(child.leavings == child.arrivals, "a display child handed over never left");
  }
}

// The station's and the display child's allocations are the same in every format: the short
// form sweeps the pool for 24-bit RGB only, the heaps and transfers for each.
Scenario FramesOf(FrameFormat format) {
  Scenario s{std::string("DisplayFrames_") + FrameFormatName(format),
             [format](Run& run) { Frames(run, format); }};
  s.short_pool = format == FrameFormat::kRgb24;
  return s;
}

}  // namespace

std::vector<Scenario> DisplayFramesScenarios() {
  std::vector<Scenario> out;
  for (FrameFormat f : {FrameFormat::kRgb24, FrameFormat::kYuv420, FrameFormat::kYuv420Planar,
                        FrameFormat::kJpeg})
    if (f != FrameFormat::kJpeg || chip::JpegDecoderAvailable()) out.push_back(FramesOf(f));
  return out;
}

}  // namespace vorn::sweep
