// The display host's side of the frames scenario, kept apart from the station's side (the
// host runs the plug-in on the WDF stand-in, whose USB declarations are its own): the plug-in
// opened on the display child's USB device, one monitor in one of the frame formats, a
// changing desktop presented to it, and what the plug-in's transfers did on the way down.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/usb/usb_device.h"
#include "sim/chip/chip.h"

namespace vorn::sweep {

enum class FrameFormat { kRgb24, kYuv420, kYuv420Planar, kJpeg };
const char* FrameFormatName(FrameFormat f);

class FramesDisplay {
 public:
  // The chip of |format|: one monitor, USB 3.
  static chip::ChipProfile Profile(FrameFormat format);
  // Loads the plug-in (once per process, as a host keeps it); null with |error| when it cannot.
  static std::unique_ptr<FramesDisplay> Make(FrameFormat format, std::string* error);
  virtual ~FramesDisplay() = default;

  // The host opens the plug-in on |device|, starts it and sets the monitor's mode; false with
  // |error| at the first step that fails (the adapter stays bound until Close or Drop).
  virtual bool Bind(usb::UsbDevice* device, chip::Chip& chip, std::string* error) = 0;
  // Presents |steps| steps of the desktop (the whole desktop first); false when one failed.
  virtual bool Present(int steps) = 0;
  // The monitor shows the desktop (exactly in RGB, within the format's rounding otherwise)
  // and every frame message that reached the chip was acknowledged.
  virtual bool CaughtUp() const = 0;

  // What the plug-in's bulk-OUT and interrupt transfers and its requests did since Bind.
  struct Traffic {
    uint64_t submitted = 0, ended = 0;
    uint64_t out_ok_bytes = 0;    // bytes of bulk-OUT transfers that ended with success
    uint64_t out_ok = 0;          // and their number
    uint64_t failed = 0;          // transfers that ended with neither success nor cancel
    int32_t first_failure = 0;    // the NTSTATUS of the first of them
    uint64_t requests_failed = 0;  // vendor requests that ended with neither
  };
  virtual Traffic traffic() const = 0;

  // Closes the adapter (its status) and drops it; Drop alone drops it, closing it if open.
  virtual int32_t Close() = 0;
  virtual void Drop() = 0;
  virtual bool Bound() const = 0;
};

}  // namespace vorn::sweep
