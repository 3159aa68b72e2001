// The mouse pointer as a desktop hands it to a view: shapes in the host's three forms
// (monochrome AND/XOR masks, colour with an AND mask, colour with alpha, plain colour) and the
// record UpdateCursor takes, pointing into the shape's own bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "display/cursor/hwc_context.h"
#include "sim/host/display_host.h"

namespace vorn::host {

struct PointerShape {
  uint32_t type = 0;  // kHostShape* code
  uint32_t width = 0, height = 0;
  int32_t hot_x = 0, hot_y = 0;
  std::vector<uint8_t> and_mask;  // 1 bit a pixel, most significant bit first
  std::vector<uint8_t> xor_mask;  // monochrome shapes
  std::vector<uint8_t> pixels;    // 4 bytes a pixel: B, G, R, A
  int32_t mask_pitch = 0;         // bytes a mask row
  int32_t pixel_pitch = 0;        // bytes a pixel row; negative: the rows run upwards
};

// Shapes from a per-pixel function.
struct MaskBits {
  bool and_bit, xor_bit;
};
PointerShape MonochromeShape(uint32_t w, uint32_t h,
                             const std::function<MaskBits(uint32_t, uint32_t)>& at);
struct MaskedPixel {
  bool and_bit;
  uint32_t rgb;  // 0xRRGGBB
};
PointerShape MaskedColorShape(uint32_t w, uint32_t h,
                              const std::function<MaskedPixel(uint32_t, uint32_t)>& at);
// |at| gives 0xAARRGGBB.
PointerShape AlphaShape(uint32_t w, uint32_t h,
                        const std::function<uint32_t(uint32_t, uint32_t)>& at);
PointerShape ColorShape(uint32_t w, uint32_t h,
                        const std::function<uint32_t(uint32_t, uint32_t)>& at);
// The same pixels stored bottom row first, handed over with a negative pitch.
PointerShape BottomUp(PointerShape shape);

// A desktop's usual pointers: a black-outlined white arrow (monochrome, hot spot at its tip),
// a masked-colour hand, a soft alpha ring.
PointerShape ArrowPointer();
PointerShape HandPointer();
PointerShape RingPointer(uint32_t size = 48);

// The record for |shape| at (x, y) with |flags|; it points into |shape|, which must outlive it.
HostCursor CursorRecord(const PointerShape& shape, uint32_t flags, int32_t x, int32_t y);

// The pointer of one held display: the host calls UpdateCursor on the view as it moves.
class Pointer {
 public:
  Pointer(Adapter& adapter, DisplayInterface* display) : adapter_(adapter), display_(display) {}

  // A new shape, shown at (x, y).
  NTSTATUS SetShape(const PointerShape& shape, int32_t x, int32_t y);
  NTSTATUS MoveTo(int32_t x, int32_t y);
  NTSTATUS Hide();
  int32_t x() const { return x_; }
  int32_t y() const { return y_; }

 private:
  Adapter& adapter_;
  DisplayInterface* display_;
  PointerShape shape_;
  int32_t x_ = 0, y_ = 0;
};

}  // namespace vorn::host
