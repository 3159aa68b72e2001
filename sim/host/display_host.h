// The display host: loads the plug-in, opens one adapter per USB device through
// OpenSorvikDevice, drives the device callbacks, and serves AcquireDisplay and ReleaseDisplay,
// recording every call. Each adapter has its own WDF host (function table, driver globals,
// WDF device, Parameters key), so several adapters live side by side in one process.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "display/modes/mode_types.h"
#include "display/device/sorvik_interface.h"
#include "platform/umdf/host.h"
#include "platform/usb/usb_device.h"

namespace vorn::host {

struct InterfaceVersion {
  USHORT major = 1;
  USHORT minor = 5;
};
inline constexpr InterfaceVersion kVersion14{1, 4};
inline constexpr InterfaceVersion kVersion15{1, 5};
inline constexpr InterfaceVersion kVersion20{2, 0};

// One AcquireDisplay call: the block as the plug-in filled it, and what the host answered.
struct DisplayRecord {
  DisplayInterface block{};        // copy taken inside the call (TargetID as the host wrote it)
  const DisplayInterface* live = nullptr;  // the plug-in's block (its ViewContext)
  ULONG_PTR context = 0;           // the host's answer, 0 = refused
  bool released = false;           // ReleaseDisplay was called with it
  std::vector<uint8_t> edid;       // the EDID bytes the block pointed to, copied in the call
  int64_t acquired_ns = 0;         // the stand-in clock's time of the call
  int64_t released_ns = 0;         // and of the ReleaseDisplay, when released
};

class Adapter {
 public:
  Adapter(PFN_OPEN_SORVIK_DEVICE open, usb::UsbDevice* device, InterfaceVersion version);
  ~Adapter();  // closes the adapter if it is still open
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  // The WDF side: registry values go here before Open.
  umdf::Host& wdf() { return *wdf_; }

  // Fills the block and calls OpenSorvikDevice; false when the plug-in returned null.
  bool Open();
  // Calls OpenSorvikDevice with no block at all (the plug-in must refuse it).
  SorvikDevice* OpenWithoutBlock();
  // Calls it with a block whose table or globals are missing.
  SorvikDevice* OpenWithBlock(bool with_table, bool with_globals);

  NTSTATUS Start();
  NTSTATUS PowerEvent(ULONG type);
  NTSTATUS Close();

  bool IsOpen() const { return handle_ != nullptr; }
  SorvikDevice* handle() const { return handle_; }
  // The block as the plug-in left it (versions, callbacks, ViewCount, GammaSupported).
  const SorvikDeviceInterface& block() const { return *block_; }
  InterfaceVersion version() const { return version_; }

  // What AcquireDisplay answers from now on: a fresh non-zero context, or 0 (refuse).
  void SetRefuseDisplays(bool refuse);
  // The TargetID the host writes into each block it is handed.
  void SetTargetId(ULONG id);
  std::vector<DisplayRecord> Displays() const;
  // Contexts currently held (acquired and not released).
  size_t HeldDisplays() const;

  // The |n|-th display currently held (acquired with a non-zero context and not released), in
  // the order they were acquired; null when there are fewer.
  DisplayInterface* HeldDisplay(size_t n = 0) const;

  // View callbacks of a held display, called the way a host calls them.
  // GetModes copies the view's TargetMode array out.
  NTSTATUS GetModes(DisplayInterface* display, std::vector<TargetMode>* modes);
  NTSTATUS SetMode(DisplayInterface* display, ULONG width, ULONG height, ULONG refresh,
                   ULONG bits_per_pixel = 32);
  // Presents |rects| of |surface| (|pitch| bytes a row, 4 bytes a pixel in B, G, R, A order).
  NTSTATUS Present(DisplayInterface* display, const void* surface, ULONG pitch,
                   const std::vector<HostRect>& rects);
  // The pointer's record (display/cursor/hwc_context.h), as a desktop reports pointer moves
  // and shape changes.
  NTSTATUS UpdateCursor(DisplayInterface* display, const HostCursor& cursor);
  // A 772-byte GammaRamp; STATUS_NOT_SUPPORTED when the block offered no SetGamma.
  NTSTATUS SetGamma(DisplayInterface* display, const void* ramp);

  // Called through the host's function pointers.
  ULONG_PTR OnAcquire(DisplayInterface* display);
  void OnRelease(ULONG_PTR context);

 private:
  PFN_OPEN_SORVIK_DEVICE open_;
  std::unique_ptr<umdf::Host> wdf_;
  std::unique_ptr<SorvikDeviceInterface> block_;
  InterfaceVersion version_;
  SorvikDevice* handle_ = nullptr;

  mutable std::mutex lock_;
  std::vector<DisplayRecord> displays_;
  bool refuse_ = false;
  ULONG target_id_ = 0x1000;
};

class DisplayHost {
 public:
  // Loads the plug-in module at |path|; null with |error| set when it cannot be loaded or
  // lacks OpenSorvikDevice.
  static std::unique_ptr<DisplayHost> Load(const std::string& path, std::string* error = nullptr);
  // A host over a plug-in linked into this program.
  explicit DisplayHost(PFN_OPEN_SORVIK_DEVICE open);
  ~DisplayHost();  // closes every adapter still open, then unloads the module
  DisplayHost(const DisplayHost&) = delete;
  DisplayHost& operator=(const DisplayHost&) = delete;

  // A new adapter over |device|, not yet opened.
  Adapter& AddAdapter(usb::UsbDevice* device, InterfaceVersion version = kVersion15);
  // Closes |adapter| if it is open and drops it with its WDF host; its USB device may go after.
  void RemoveAdapter(Adapter& adapter);
  // AddAdapter and Open; null when the plug-in refused the adapter (it stays listed).
  Adapter* OpenAdapter(usb::UsbDevice* device, InterfaceVersion version = kVersion15);

  PFN_OPEN_SORVIK_DEVICE open_function() const { return open_; }

 private:
  DisplayHost(void* module, PFN_OPEN_SORVIK_DEVICE open);

  void* module_ = nullptr;
  PFN_OPEN_SORVIK_DEVICE open_ = nullptr;
  std::vector<std::unique_ptr<Adapter>> adapters_;
};

}  // namespace vorn::host
