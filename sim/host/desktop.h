// A desktop the display host shows on one view: a BGRA surface (4 bytes a pixel: B, G, R, A,
// rows packed) that a test or the main program draws into, and a scene that animates it.
// Every drawing call clips to the surface and notes the rectangle it changed, so each step
// hands the plug-in's Present exactly the dirty rectangles of that step. Everything is
// integer arithmetic from a seed, so a scene draws the same pixels on every machine and in
// 32-bit builds.
#pragma once

#include <cstdint>
#include <vector>

#include "display/device/sorvik_interface.h"

namespace vorn::host {

// A colour as 0xRRGGBB (alpha is always 0xFF on the surface).
using Rgb = uint32_t;

// Rectangles are {left, top, right, bottom}, right and bottom exclusive.
HostRect Intersect(const HostRect& a, const HostRect& b);
HostRect Union(const HostRect& a, const HostRect& b);  // bounding box; an empty side is ignored
bool Empty(const HostRect& r);

class Desktop {
 public:
  Desktop(uint32_t width, uint32_t height);

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint32_t pitch() const { return width_ * 4; }
  const uint8_t* data() const { return pixels_.data(); }
  const std::vector<uint8_t>& pixels() const { return pixels_; }
  HostRect bounds() const { return {0, 0, width_, height_}; }
  Rgb At(uint32_t x, uint32_t y) const;

  // Drawing. |clip| limits the call further (the scene redraws one rectangle at a time);
  // patterns keep their origin at their rectangle's top-left whatever the clip.
  void Fill(const HostRect& r, Rgb color, const HostRect* clip = nullptr);
  // Lines of text-like glyphs (5 x 7 in 7 x 11 cells, words of 2-9 letters) in |ink| on
  // |paper|, scrolled up by |scroll| pixels; what a line says depends on |seed| and its number.
  void Text(const HostRect& r, Rgb ink, Rgb paper, uint32_t scroll, uint32_t seed,
            const HostRect* clip = nullptr);
  // A photo-like picture: smooth colour waves with fine grain, moving with |phase|.
  void Photo(const HostRect& r, uint32_t seed, uint32_t phase, const HostRect* clip = nullptr);
  // An arrow pointer with its tip at (x, y), black outline over white.
  void Cursor(int32_t x, int32_t y, const HostRect* clip = nullptr);
  static HostRect CursorBounds(int32_t x, int32_t y);

  // Notes a change the caller made some other way.
  void MarkDirty(const HostRect& r);
  // The rectangles changed since the last call, in order, each clipped and non-empty.
  std::vector<HostRect> TakeDirty();

 private:
  HostRect Clipped(const HostRect& r, const HostRect* clip) const;
  void Put(uint32_t x, uint32_t y, Rgb c) {
    uint8_t* p = &pixels_[(size_t{y} * width_ + x) * 4];
    p[0] = static_cast<uint8_t>(c);
    p[1] = static_cast<uint8_t>(c >> 8);
    p[2] = static_cast<uint8_t>(c >> 16);
    p[3] = 0xFF;
  }

  uint32_t width_, height_;
  std::vector<uint8_t> pixels_;
  std::vector<HostRect> dirty_;
};

// An animated desktop: a background with a task bar, a photo region that plays like a video,
// windows that move and whose text scrolls, and a cursor on a path. The first step draws
// everything; later steps redraw only what moved.
struct SceneOptions {
  uint32_t seed = 1;
  uint32_t windows = 2;      // at most 4
  bool photo = true;
  bool cursor = true;
  uint32_t photo_every = 4;  // steps between photo frames (0: a still photo)
};

class DesktopScene {
 public:
  DesktopScene(Desktop& desktop, const SceneOptions& options = {});

  // Draws the next step and returns its dirty rectangles (all of the surface on the first).
  std::vector<HostRect> Step();
  uint32_t steps() const { return step_; }

 private:
  struct Window {
    HostRect frame;        // the whole window, title bar included
    int32_t dx, dy;        // motion per step
    Rgb title, paper, ink;
    uint32_t scroll = 0, scroll_speed;
    uint32_t text_seed;
  };
  HostRect WindowBody(const Window& w) const;
  HostRect PhotoRect() const;
  void Compose(const HostRect& area);
  void MoveWindow(Window& w);
  void CursorAt(uint32_t step, int32_t* x, int32_t* y) const;

  Desktop& d_;
  SceneOptions o_;
  uint32_t step_ = 0;
  uint32_t photo_phase_ = 0;
  std::vector<Window> windows_;
  int32_t cursor_x_ = 0, cursor_y_ = 0;
};

}  // namespace vorn::host
