// The display side of the sleep and wake test: a display host with the plug-in on an adapter
// of its own, showing a changing desktop on one monitor. Kept apart from the kernel side (the
// user-mode and kernel stand-ins each define the platform's names their own way).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vorn::sim {

class DisplayRig {
 public:
  // Opens and starts the adapter and sets the monitor's mode; null with |error| on failure.
  static std::unique_ptr<DisplayRig> Start(std::string* error);
  virtual ~DisplayRig() = default;

  // One step of the desktop, presented; false when Present failed.
  virtual bool Step() = 0;
  // Waits up to |timeout_ms| real milliseconds until the monitor shows the desktop exactly and
  // every frame was acknowledged.
  virtual bool Settle(int timeout_ms) = 0;
  // The plug-in's PowerEvent callback, as the host calls it; its NTSTATUS.
  virtual int32_t PowerEvent(uint32_t type) = 0;
  // What the host does once the plug-in has restarted: set each view's mode again (which
  // starts its threads) and present the whole desktop. False when a call failed.
  virtual bool SetModesAgain() = 0;
  virtual uint64_t DisplayMessages() const = 0;
  virtual uint64_t Acks() const = 0;
  // Pixels the monitor shows differently from the desktop; UINT64_MAX when it shows nothing.
  virtual uint64_t DifferingPixels() const = 0;
  virtual size_t Violations() const = 0;
  // Closes the adapter; its NTSTATUS.
  virtual int32_t Close() = 0;
};

}  // namespace vorn::sim
