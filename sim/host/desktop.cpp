#include "sim/host/desktop.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vorn::host {
namespace {

uint32_t Hash(uint32_t a, uint32_t b = 0, uint32_t c = 0) {
  uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  h *= 0x297A2D39u;
  h ^= h >> 15;
  return h;
}

// A triangle wave of period 512 between 0 and 256.
uint32_t Tri(uint32_t v) {
  const int32_t m = static_cast<int32_t>(v & 511) - 256;
  return static_cast<uint32_t>(m < 0 ? -m : m);
}

uint32_t Clamp255(int32_t v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

constexpr uint32_t kCellW = 7, kCellH = 11, kGlyphW = 5, kGlyphH = 7;
constexpr uint32_t kLetters = 26;

// 26 made-up letters, 5 x 7 bits each; every one has ink in its middle column so none is blank.
const std::array<uint64_t, kLetters>& Glyphs() {
  static const std::array<uint64_t, kLetters> glyphs = [] {
    std::array<uint64_t, kLetters> g{};
    for (uint32_t i = 0; i < kLetters; ++i) {
      const uint64_t bits = (uint64_t{Hash(i, 11)} << 32 | Hash(i, 12)) & ((uint64_t{1} << 35) - 1);
      g[i] = bits | (uint64_t{1} << 2) | (uint64_t{1} << 17) | (uint64_t{1} << 32);
    }
    return g;
  }();
  return glyphs;
}

// The arrow pointer: 'X' outline, 'o' fill, '.' transparent.
constexpr uint32_t kCursorW = 12, kCursorH = 19;
constexpr const char* kCursorShape[kCursorH] = {
    "X...........", "XX..........", "XoX.........", "XooX........", "XoooX.......",
    "XooooX......", "XoooooX.....", "XooooooX....", "XoooooooX...", "XooooooooX..",
    "XoooooooooX.", "XooooooXXXXX", "XoooXooX....", "XooXXooX....", "XoX..XooX...",
    "XX...XooX...", "X.....XooX..", "......XooX..", ".......XX...",
};

}  // namespace

bool Empty(const HostRect& r) { return r.Left >= r.Right || r.Top >= r.Bottom; }

HostRect Intersect(const HostRect& a, const HostRect& b) {
  HostRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
             std::min(a.Bottom, b.Bottom)};
  if (Empty(r)) return {0, 0, 0, 0};
  return r;
}

HostRect Union(const HostRect& a, const HostRect& b) {
  if (Empty(a)) return b;
  if (Empty(b)) return a;
  return {std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
          std::max(a.Bottom, b.Bottom)};
}

Desktop::Desktop(uint32_t width, uint32_t height)
    : width_(width), height_(height), pixels_(size_t{width} * height * 4, 0) {
  for (size_t i = 3; i < pixels_.size(); i += 4) pixels_[i] = 0xFF;
}

Rgb Desktop::At(uint32_t x, uint32_t y) const {
  if (x >= width_ || y >= height_) return 0;
  const uint8_t* p = &pixels_[(size_t{y} * width_ + x) * 4];
  return Rgb{p[0]} | Rgb{p[1]} << 8 | Rgb{p[2]} << 16;
}

HostRect Desktop::Clipped(const HostRect& r, const HostRect* clip) const {
  HostRect c = Intersect(r, bounds());
  return clip ? Intersect(c, *clip) : c;
}

void Desktop::MarkDirty(const HostRect& r) {
  HostRect c = Intersect(r, bounds());
  if (!Empty(c)) dirty_.push_back(c);
}

std::vector<HostRect> Desktop::TakeDirty() {
  std::vector<HostRect> out;
  out.swap(dirty_);
  return out;
}

void Desktop::Fill(const HostRect& r, Rgb color, const HostRect* clip) {
  const HostRect c = Clipped(r, clip);
  if (Empty(c)) return;
  for (uint32_t x = c.Left; x < c.Right; ++x) Put(x, c.Top, color);
  const size_t row = size_t{c.Right - c.Left} * 4;
  const uint8_t* first = &pixels_[(size_t{c.Top} * width_ + c.Left) * 4];
  for (uint32_t y = c.Top + 1; y < c.Bottom; ++y)
    std::memcpy(&pixels_[(size_t{y} * width_ + c.Left) * 4], first, row);
  MarkDirty(c);
}

void Desktop::Text(const HostRect& r, Rgb ink, Rgb paper, uint32_t scroll, uint32_t seed,
                   const HostRect* clip) {
  const HostRect c = Clipped(r, clip);
  if (Empty(c)) return;
  const auto& glyphs = Glyphs();
  const uint32_t columns = std::max<uint32_t>(1, (r.Right - r.Left) / kCellW);
  for (uint32_t y = c.Top; y < c.Bottom; ++y) {
    const uint32_t yy = y - r.Top + scroll;
    const uint32_t line = yy / kCellH, gy = yy % kCellH;
    const uint32_t lh = Hash(line, seed);
    // Some lines are empty (between paragraphs); the others end at a length of their own.
    const uint32_t length = lh % 7 == 0 ? 0 : columns / 3 + lh % (columns - columns / 3 + 1);
    for (uint32_t x = c.Left; x < c.Right; ++x) {
      const uint32_t xx = x - r.Left;
      const uint32_t col = xx / kCellW, gx = xx % kCellW;
      bool on = false;
      if (col < length && gx >= 1 && gx < 1 + kGlyphW && gy >= 2 && gy < 2 + kGlyphH) {
        const uint32_t ch = Hash(line, col, seed);
        if (ch % 6 != 0) {  // a space roughly every sixth letter makes words
          const uint64_t g = glyphs[(ch >> 8) % kLetters];
          on = (g >> ((gy - 2) * kGlyphW + (gx - 1))) & 1;
        }
      }
      Put(x, y, on ? ink : paper);
    }
  }
  MarkDirty(c);
}

void Desktop::Photo(const HostRect& r, uint32_t seed, uint32_t phase, const HostRect* clip) {
  const HostRect c = Clipped(r, clip);
  if (Empty(c)) return;
  const uint32_t s = seed * 37;
  for (uint32_t y = c.Top; y < c.Bottom; ++y) {
    const uint32_t yy = y - r.Top;
    for (uint32_t x = c.Left; x < c.Right; ++x) {
      const uint32_t xx = x - r.Left;
      const int32_t grain = static_cast<int32_t>(Hash(xx, yy, seed) & 15) - 8;
      const int32_t red = static_cast<int32_t>((Tri(xx * 2 + phase * 3 + s) + Tri(yy * 3 + s * 7)) / 2);
      const int32_t green =
          static_cast<int32_t>((Tri(xx + yy + phase * 5 + s * 3) + Tri(yy * 2 + 512 - (phase * 2 & 511))) / 2);
      const int32_t blue =
          static_cast<int32_t>((Tri(xx * 3 + 1024 - (yy & 511) + s) + Tri(phase * 4 + yy)) / 2);
      Put(x, y, Clamp255(red + grain) << 16 | Clamp255(green + grain) << 8 | Clamp255(blue + grain));
    }
  }
  MarkDirty(c);
}

HostRect Desktop::CursorBounds(int32_t x, int32_t y) {
  const int32_t l = std::max(0, x), t = std::max(0, y);
  const int32_t r = std::max(0, x + static_cast<int32_t>(kCursorW));
  const int32_t b = std::max(0, y + static_cast<int32_t>(kCursorH));
  return {static_cast<ULONG>(l), static_cast<ULONG>(t), static_cast<ULONG>(r), static_cast<ULONG>(b)};
}

void Desktop::Cursor(int32_t x, int32_t y, const HostRect* clip) {
  const HostRect c = Clipped(CursorBounds(x, y), clip);
  if (Empty(c)) return;
  for (uint32_t py = c.Top; py < c.Bottom; ++py)
    for (uint32_t px = c.Left; px < c.Right; ++px) {
      const char m = kCursorShape[static_cast<int32_t>(py) - y][static_cast<int32_t>(px) - x];
      if (m == 'X') Put(px, py, 0x000000);
      if (m == 'o') Put(px, py, 0xFFFFFF);
    }
  MarkDirty(c);
}

namespace {
constexpr uint32_t kTitleHeight = 18;
constexpr uint32_t kTaskBarHeight = 28;
constexpr Rgb kBackground = 0x2A5C8A;
constexpr Rgb kTaskBar = 0x202428;
constexpr Rgb kTitles[4] = {0x3C6EB4, 0x6A8F3A, 0x8A3A5C, 0xB07A20};
constexpr Rgb kPapers[4] = {0xFFFFFF, 0xF4F0E6, 0x1E1E1E, 0xE8F0F8};
constexpr Rgb kInks[4] = {0x101010, 0x303060, 0xD0D0D0, 0x602020};
}  // namespace

DesktopScene::DesktopScene(Desktop& desktop, const SceneOptions& options)
    : d_(desktop), o_(options) {
  const uint32_t w = d_.width(), h = d_.height();
  const uint32_t n = std::min<uint32_t>(o_.windows, 4);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t hs = Hash(o_.seed, i, 1);
    const uint32_t ww = std::max<uint32_t>(64, w * (30 + hs % 15) / 100);
    const uint32_t wh = std::max<uint32_t>(48, h * (30 + (hs >> 8) % 15) / 100);
    const uint32_t room_x = w > ww ? w - ww : 1, room_y = h > wh + kTaskBarHeight ? h - wh - kTaskBarHeight : 1;
    const uint32_t x = (hs >> 16) % room_x, y = (hs >> 4) % room_y;
    Window win;
    win.frame = {x, y, x + ww, y + wh};
    win.dx = static_cast<int32_t>(1 + Hash(o_.seed, i, 2) % 7) * ((i & 1) ? -1 : 1);
    win.dy = static_cast<int32_t>(1 + Hash(o_.seed, i, 3) % 5) * ((i & 2) ? -1 : 1);
    win.title = kTitles[i];
    win.paper = kPapers[i];
    win.ink = kInks[i];
    win.scroll_speed = 1 + Hash(o_.seed, i, 4) % 3;
    win.text_seed = Hash(o_.seed, i, 5);
    windows_.push_back(win);
  }
  CursorAt(0, &cursor_x_, &cursor_y_);
}

HostRect DesktopScene::WindowBody(const Window& w) const {
  return {w.frame.Left + 2, w.frame.Top + kTitleHeight, w.frame.Right - 2, w.frame.Bottom - 2};
}

HostRect DesktopScene::PhotoRect() const {
  const uint32_t w = d_.width(), h = d_.height();
  return {w / 2, h / 8, w / 2 + w * 3 / 8, h / 8 + h * 3 / 8};
}

void DesktopScene::CursorAt(uint32_t step, int32_t* x, int32_t* y) const {
  // A looping path across the whole desktop, a few pixels a step.
  const uint32_t w = d_.width(), h = d_.height();
  *x = static_cast<int32_t>(Tri(step * 5 + o_.seed * 31) * (w - 1) / 256);
  *y = static_cast<int32_t>(Tri(step * 3 + o_.seed * 17 + 128) * (h - 1) / 256);
}

void DesktopScene::Compose(const HostRect& area) {
  const HostRect a = Intersect(area, d_.bounds());
  if (Empty(a)) return;
  const uint32_t w = d_.width(), h = d_.height();
  const uint32_t bar = h > kTaskBarHeight ? h - kTaskBarHeight : 0;
  d_.Fill({0, 0, w, bar}, kBackground, &a);
  d_.Fill({0, bar, w, h}, kTaskBar, &a);
  for (uint32_t i = 0; i < 6; ++i)
    d_.Fill({8 + i * 36, bar + 4, 8 + i * 36 + 24, bar + 24}, kTitles[i % 4], &a);
  d_.Text({w > 120 ? w - 120 : 0, bar + 8, w - 8, bar + 19}, 0xE0E0E0, kTaskBar, 0,
          o_.seed + step_ / 100, &a);
  if (o_.photo) d_.Photo(PhotoRect(), o_.seed, photo_phase_, &a);
  for (const Window& win : windows_) {
    d_.Fill(win.frame, win.title, &a);
    const HostRect f = win.frame;
    d_.Fill({f.Right - 16, f.Top + 3, f.Right - 4, f.Top + 15}, 0xC03030, &a);
    d_.Text({f.Left + 6, f.Top + 4, f.Right - 24, f.Top + 15}, 0xFFFFFF, win.title, 0,
            win.text_seed + 1, &a);
    d_.Text(WindowBody(win), win.ink, win.paper, win.scroll, win.text_seed, &a);
  }
  if (o_.cursor) d_.Cursor(cursor_x_, cursor_y_, &a);
}

void DesktopScene::MoveWindow(Window& w) {
  const int32_t width = static_cast<int32_t>(w.frame.Right - w.frame.Left);
  const int32_t height = static_cast<int32_t>(w.frame.Bottom - w.frame.Top);
  const int32_t max_x = std::max(0, static_cast<int32_t>(d_.width()) - width);
  const int32_t max_y =
      std::max(0, static_cast<int32_t>(d_.height()) - static_cast<int32_t>(kTaskBarHeight) - height);
  int32_t x = static_cast<int32_t>(w.frame.Left) + w.dx;
  int32_t y = static_cast<int32_t>(w.frame.Top) + w.dy;
  if (x < 0 || x > max_x) {
    w.dx = -w.dx;
    x = std::clamp(x, 0, max_x);
  }
  if (y < 0 || y > max_y) {
    w.dy = -w.dy;
    y = std::clamp(y, 0, max_y);
  }
  w.frame = {static_cast<ULONG>(x), static_cast<ULONG>(y), static_cast<ULONG>(x + width),
             static_cast<ULONG>(y + height)};
}

std::vector<HostRect> DesktopScene::Step() {
  d_.TakeDirty();  // whatever was noted before belongs to the caller's own drawing
  std::vector<HostRect> changed;
  if (step_ == 0) {
    changed.push_back(d_.bounds());
  } else {
    if (o_.photo && o_.photo_every && step_ % o_.photo_every == 0) {
      ++photo_phase_;
      changed.push_back(PhotoRect());
    }
    for (size_t i = 0; i < windows_.size(); ++i) {
      Window& win = windows_[i];
      win.scroll += win.scroll_speed;
      const HostRect before = win.frame;
      if ((step_ + i) % 3 == 0) MoveWindow(win);
      changed.push_back(Union(before, win.frame));
    }
    if (o_.cursor) {
      const HostRect before = Desktop::CursorBounds(cursor_x_, cursor_y_);
      CursorAt(step_, &cursor_x_, &cursor_y_);
      changed.push_back(Union(before, Desktop::CursorBounds(cursor_x_, cursor_y_)));
    }
  }
  std::vector<HostRect> out;
  for (const HostRect& r : changed) {
    const HostRect c = Intersect(r, d_.bounds());
    if (Empty(c)) continue;
    Compose(c);
    out.push_back(c);
  }
  d_.TakeDirty();  // the drawing calls noted pieces of |out|; the step reports |out| whole
  ++step_;
  return out;
}

}  // namespace vorn::host
