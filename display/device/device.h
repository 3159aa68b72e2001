// The plug-in's records: one SorvikDevice per adapter (the host's handle for it), holding its
// two ViewContexts, its device memory layout and the state of its threads. Everything is
// allocated zeroed from the adapter's private heap.
#pragma once

#include <atomic>
#include <cstdint>

#include "display/cursor/hwc_context.h"
#include "display/views/dirty_rects.h"
#include "display/encode/encode_plan.h"
#include "display/frames/frame_packet.h"
#include "display/modes/mode_types.h"
#include "display/device/sorvik_interface.h"
#include "display/views/view_buffers.h"
#include "platform/umdf/wdf.h"
#include "platform/win32/types.h"

namespace vorn::display {

constexpr uint32_t kViewCountMax = 2;
constexpr uint32_t kDefaultMaxPixels = 1920 * 1080;
constexpr uint16_t kControlChunkSize = 512;
constexpr uint8_t kCursorSlotTotal = 10;
constexpr uint32_t kDefaultJpegQuality = 95;
constexpr uint8_t kDefaultJpegSampling = 3;
constexpr uint8_t kDetectFromCapabilities = 255;
constexpr uint32_t kEdidInitialCapacity = 512;
constexpr uint32_t kGammaRampSize = 772;

// A slot of a view's device memory region.
struct FrameSlot {
  uint32_t Address;
  uint32_t Busy;
  uint32_t Tag;
};

struct MemRegion {
  uint32_t Start;
  uint32_t End;
  uint32_t UnalignedStart;
  uint32_t UnalignedEnd;
  FrameSlot Slots[3];
  uint8_t LastSlot;
};

struct DeviceMemory {
  SorvikDevice* Owner;
  MemRegion Regions[kViewCountMax];
  uint32_t ViewStart;
  uint32_t ViewEnd;
  uint32_t RingStart;
  uint32_t LastAllocStart;
  uint32_t NextAlloc;
  uint32_t RingEnd;
};

constexpr uint32_t kFrameAckEntries = 10;
struct FrameAckEntry {
  uint32_t Sequence;
  uint32_t Address;
  uint32_t Length;
  uint8_t Valid;
};
struct FrameAckRing {
  WDFWAITLOCK Lock;
  FrameAckEntry Entries[kFrameAckEntries];
  uint32_t Read;
  uint32_t Write;
};

// A plug-in thread with its stop event and running flag. Starting a running thread and
// stopping a stopped one do nothing.
// An EDID buffer the view has replaced by a larger one.
struct RetiredEdid {
  RetiredEdid* Next;
  uint8_t* Buffer;
};

struct DeviceThread {
  HANDLE StopEvent;
  std::atomic<uint8_t> Running;  // read by the thread itself
  HANDLE Thread;
};

}  // namespace vorn::display

struct ViewContext {
  DisplayInterface Display;  // first, so the block handed to the host is the view itself
  ULONG_PTR hDisplayContext;
  SorvikDevice* Owner;
  uint8_t Present;
  uint16_t Index;
  uint8_t Connected;
  uint8_t DescriptorType;

  uint8_t* SystemFrame;      // the view's copy of the desktop; pitch in Modes.SystemFramePitch
  uint32_t SystemFrameSize;  // bytes
  WDFWAITLOCK FrameLock;

  vorn::display::HwcContext* Hwc;
  uint32_t PendingCursorFlags;
  WDFWAITLOCK CursorLock;
  HANDLE CursorEvent;  // auto-reset
  HANDLE CursorThread;

  uint32_t DeviceTimingCount;
  WDFWAITLOCK ModeLock;  // the mode list, TargetMode array and timing cache in Modes
  vorn::display::ViewModes Modes;

  WDFWAITLOCK EncodeStateLock;
  WDFWAITLOCK DirtyLock;
  vorn::display::DirtyRectRing DirtyRects;  // under DirtyLock
  HANDLE DirtyEvent;       // manual reset
  HANDLE SecondViewEvent;  // nothing sets it; waited on with the others
  vorn::display::SystemMemObj* SystemMem;
  uint8_t OutputChanged;                 // with Modes.OutputWanted, under EncodeStateLock
  uint32_t LastPacketLength;             // of the packet the region encoder wrote last
  vorn::display::EncodeRect BandRect;    // the band so far; the encode thread's own
  vorn::display::FramePlanes LastFull;   // the device's current full frame; the send thread's

  uint8_t* EdidBuffer;
  uint32_t EdidCapacity;
  uint32_t EdidSize;
  // Buffers EdidBuffer had before it grew for a longer EDID: the host was handed them in
  // its DisplayInterface and may still read them, so they are freed only at close.
  vorn::display::RetiredEdid* RetiredEdids;

  uint8_t DetectEnabled;
  uint8_t PreferYuv;
  std::atomic<uint8_t> ThreadsRunning;  // read by Present on the host's threads
  HANDLE StopEvent;  // manual reset
  HANDLE EncodeThread;
  uint8_t FullRefresh;
  uint64_t JpegTimeTotal;  // JPEG full-frame encode time, counter ticks x 1000
  uint32_t JpegTimeCount;
  uint8_t* GammaCopy;  // kGammaRampSize bytes, or null
};

struct SorvikDevice {
  SorvikDeviceInterface Host;  // the host's block as it came in
  WDFDEVICE WdfDevice;
  std::atomic<uint8_t> Closing;
  WDFDRIVER WdfDriver;
  HANDLE hMyHeap;

  WDFUSBDEVICE UsbDevice;
  WDFUSBINTERFACE UsbInterface;
  WDFUSBPIPE BulkOutput;      // bulk OUT 0x02
  WDFUSBPIPE InterruptPipe;
  WDFUSBPIPE IpBulkOutput;    // bulk OUT 0x04
  uint32_t IpMode;
  uint32_t UsbTraits;
  uint16_t BcdUsb;
  uint8_t IProduct;

  WDFWAITLOCK DeviceLock;
  uint16_t ControlChunkSize;
  uint32_t HwPlatform;
  uint32_t VendorCmdVersion;
  uint32_t FrameMemorySize;
  uint32_t CapabilityFlags;
  uint32_t MaxPixels;
  uint8_t CursorSlotTotal;
  uint8_t ViewCount;
  ViewContext Views[vorn::display::kViewCountMax];

  vorn::display::DeviceMemory Memory;
  vorn::display::FrameAckRing AckRing;

  vorn::display::DeviceThread SendThread;
  vorn::display::DeviceThread HotplugThread;
  HANDLE MonitorStatusEvent;
  uint8_t InterruptReaderStarted;

  uint8_t FormatMode;
  uint8_t NoAckTracking;
  uint8_t BandwidthLimit;
  uint32_t FlipMode;
  uint32_t JpegQuality;
  uint8_t JpegSampling;
  uint32_t FrameSequence;
  std::atomic<uint32_t> LastAckedSequence;
  uint8_t DetectMonitor;
  uint8_t Rotation;
  uint8_t ThreeStagingFrames;
  uint8_t SingleTransfer;  // frame messages go out as one bulk write
};

namespace vorn::display {

// Every WDF operation goes through the table and globals of the host that opened |device|.
template <WDFFUNCENUM Index, class... Args>
inline auto Wdf(const SorvikDevice* device, Args... args) {
  return WdfSlot<Index>(device->Host.WdfFunctions)(device->Host.WdfDriverGlobals, args...);
}

// Heap helpers over the device's private heap; allocations are zeroed.
void* HeapZalloc(SorvikDevice* device, size_t bytes);
void HeapRelease(SorvikDevice* device, void* block);

// Locks of the plug-in: parent the USB target device.
NTSTATUS CreateWaitLock(SorvikDevice* device, WDFWAITLOCK* lock);
// Untimed acquire and release.
void LockUntimed(SorvikDevice* device, WDFWAITLOCK lock);
void Unlock(SorvikDevice* device, WDFWAITLOCK lock);
// True only when the lock is held within |ms| milliseconds.
bool LockTimed(SorvikDevice* device, WDFWAITLOCK lock, uint32_t ms);

}  // namespace vorn::display
