// The packet builders of the send thread: each turns a packet the encode thread laid out in
// its staging ring into a bus message, by writing the header (and, for display data, the
// frame descriptor) into the room left in front of the payload, books the device memory the
// message lands in, and writes it to the bulk pipe. Slots, ring and the view's last full
// frame are booked only after the whole message went out, so a failed write leaves them as
// they were and takes back the sequence number it had drawn.
//
// Every builder gets the view, the message (|packet|, |length| bytes, the header included)
// and returns STATUS_SUCCESS or the failure: STATUS_UNSUCCESSFUL for a refused slot, ring
// space that cannot fit, or a failed write; STATUS_INSUFFICIENT_RESOURCES when the ring
// would overwrite a payload the device has not acknowledged; STATUS_INVALID_PARAMETER for a
// packet that does not add up.
#pragma once

#include <cstdint>

#include "display/device/device.h"

namespace vorn::display {

// Full frames, formats 4 and 6 / 9 / 13.
NTSTATUS BuildFullRaw(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t width,
                      uint32_t height, uint8_t flags, uint32_t format);
NTSTATUS BuildFull9(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t width,
                    uint32_t height, uint8_t flags);
NTSTATUS BuildFullJpeg(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t width,
                       uint32_t height, uint8_t flags);
// Band rectangles decoded into a scratch slot, format 6 / 13.
NTSTATUS BuildRectRaw(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t x, uint32_t y,
                      uint32_t width, uint32_t height, uint8_t flags, uint32_t format);
NTSTATUS BuildRectJpeg(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t x,
                       uint32_t y, uint32_t width, uint32_t height, uint8_t flags);
// Patches of the view's last full frame: a JPEG patch, and the two-plane writes of format 6
// and 9 (|params|: the snapped rectangle x, y, width, height, the frame stride, ...).
NTSTATUS BuildPatchJpeg(ViewContext* view, uint8_t* packet, uint32_t length, int32_t left,
                        int32_t top, int32_t right, int32_t bottom, uint8_t flags);
NTSTATUS BuildPatch6(ViewContext* view, uint8_t* packet, uint32_t length, int32_t left,
                     int32_t top, int32_t right, int32_t bottom);
NTSTATUS BuildPatch9(ViewContext* view, uint8_t* packet, uint32_t length, int32_t left,
                     int32_t top, int32_t right, int32_t bottom, const uint32_t params[9]);

// Writes a finished message: one bulk write in IpMode or with SingleTransfer, else the
// 32-byte header alone and then the rest; a failure of the split write resets the pipe.
// |reached|, when given, tells on failure whether part of the message (the header of a split
// write) went out all the same.
NTSTATUS SendMessage(SorvikDevice* device, const uint8_t* packet, uint32_t length,
                     bool* reached = nullptr);

}  // namespace vorn::display
