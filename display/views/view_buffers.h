// A view's system-memory frame buffers: the source buffer the region encoders convert into,
// the staging ring they write finished packets into, and the hand-off of one packet at a time
// from the encode thread to the send thread.
#pragma once

#include <cstdint>

#include "platform/umdf/wdf.h"
#include "platform/win32/types.h"

struct ViewContext;

namespace vorn::display {

constexpr uint32_t kStagingExtraBytes = 1u << 20;
constexpr uint32_t kStagingFramesNormal = 2;
constexpr uint32_t kStagingFramesMore = 3;  // ThreeStagingFrames or FormatMode 2

// What the encode thread hands to the send thread.
struct FrameHandoff {
  uint32_t PacketKind;  // 3 / 4 full frame of view 0 / 1, 1 / 2 band rectangle, 7 patch
  int32_t left, top, right, bottom;  // device orientation
  uint32_t Offset;                   // of the packet in the staging ring
  uint32_t Length;
  uint32_t SurfaceFormat;
  uint32_t Patch[9];  // patches: x, y, width, height, frame stride, row bytes, plane A rows,
                      // offset A, offset B
};

struct SystemMemObj {
  ViewContext* Owner;
  uint8_t* pSourceBuf;  // one frame
  uint32_t SourceBufSize;
  uint8_t* Staging;  // the staging ring
  uint32_t StagingSize;
  uint32_t WritePos;  // next packet's offset in the ring
  uint32_t InFlight;  // offset of the packet last handed off
  WDFWAITLOCK HandoffLock;
  HANDLE ReadyEvent;     // manual reset, initially clear: a packet waits in Handoff
  HANDLE ConsumedEvent;  // manual reset, initially set: the send thread took it
  FrameHandoff Handoff;
};

// Zeroes view->SystemMem (allocating it when the view has none), names the view its owner and
// creates the two events and the hand-off lock. STATUS_UNSUCCESSFUL when any of them fails.
NTSTATUS CreateSystemMemoryObject(ViewContext* view);
// (Re)allocates the source buffer (one frame of the view's largest offered mode) and the
// staging ring (n such frames + 1 MiB); the write position starts at 0. A failure frees both
// and gives STATUS_UNSUCCESSFUL.
NTSTATUS AllocFrameBuffers(ViewContext* view);
// Frees both buffers; the events and the lock stay.
void FreeFrameBuffers(ViewContext* view);
// Frees both buffers and closes the events.
void SystemMemoryFree(ViewContext* view);

// Bytes of one frame of the view's largest offered mode, as the buffers are sized.
uint32_t ViewBufferFrameBytes(const ViewContext* view);

}  // namespace vorn::display
