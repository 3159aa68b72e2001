// The chip's hardware cursor: it reads the image a slot holds (an 8-byte header of kind,
// width, height and pitch, then B, G, R, A pixels) and draws the selected slot of a view over
// the picture its monitor shows, at the position last sent. Alpha images (kind 1) blend by
// their alpha; masked images (kind 2) replace the screen pixel where A is 0 and combine with it
// by XOR where A is 0xFF (so 0xFF000000 leaves it, 0xFFFFFFFF inverts it).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/chip/frame_store.h"
#include "sim/chip/view_settings.h"

namespace vorn::chip {

struct CursorImage {
  uint16_t kind = 0;             // 1 alpha, 2 masked
  uint32_t side = 0;             // width = height: 64, 96 or 128
  std::vector<uint32_t> pixels;  // side x side, 0xAARRGGBB
};

// The image in |bytes| as uploaded; nothing when the header is not one the chip can show or
// the bytes are fewer than it announces.
std::optional<CursorImage> ReadCursorImage(const std::vector<uint8_t>& bytes);

// The cursor of |view| (shown, its slot holding a readable image) drawn over |picture|, clipped
// to it. Returns whether anything of the cursor was drawn.
bool DrawCursor(const ViewSettings& view, Picture* picture);

}  // namespace vorn::chip
