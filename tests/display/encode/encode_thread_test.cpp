// The encode and send threads on a real device: the host sets a mode and presents a desktop,
// and the chip model ends up showing that desktop; black frames when output starts; a stop
// while a frame is still on its way.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "display/device/device_threads.h"
#include "display/views/dirty_rects.h"
#include "display/encode/encode_thread.h"
#include "protocol/vendor_request.h"
#include "sim/chip/capture.h"
#include "sim/chip/jpeg_decode.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;

class EncodeThreadTest : public DisplayTest {
 protected:
  // One view, FormatMode |format_mode| set after the open, started, the mode set.
  void Begin(uint8_t format_mode, uint32_t w = 1920, uint32_t h = 1080) {
    chip_ = &AddChip(MakeProfile({1, 64, usb3_}));
    adapter_ = &AddAdapter(*chip_);
    ASSERT_TRUE(adapter_->Open());
    device_ = adapter_->handle();
    device_->FormatMode = format_mode;
    if (before_start_) before_start_(device_);
    ASSERT_EQ(adapter_->Start(), STATUS_SUCCESS);
    display_ = adapter_->HeldDisplay(0);
    ASSERT_NE(display_, nullptr);
    view_ = &device_->Views[0];
    w_ = w;
    h_ = h;
    std::vector<TargetMode> modes;
    ASSERT_EQ(adapter_->GetModes(display_, &modes), STATUS_SUCCESS);
    ULONG refresh = 0;
    for (const TargetMode& m : modes)
      if (m.Width == w && m.Height == h) refresh = m.RefreshHz;
    std::string offered;
    for (const TargetMode& m : modes)
      offered += " " + std::to_string(m.Width) + "x" + std::to_string(m.Height);
    ASSERT_NE(refresh, 0u) << "no " << w << " x " << h << " mode among" << offered;
    refresh_ = refresh;
    ASSERT_EQ(adapter_->SetMode(display_, w, h, refresh_), STATUS_SUCCESS);
    ASSERT_TRUE(view_->ThreadsRunning.load());
    desktop_.assign(size_t{w} * h * 4, 0);
  }
  void TearDown() override {
    if (!adapter_) return;
    EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
    EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
  }

  void Paint(uint32_t seed, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    std::mt19937 rng(seed);
    for (uint32_t y = y0; y < y1; ++y)
      for (uint32_t x = x0; x < x1; ++x) {
        uint8_t* p = &desktop_[(size_t{y} * w_ + x) * 4];
        p[0] = static_cast<uint8_t>(rng());
        p[1] = static_cast<uint8_t>(rng());
        p[2] = static_cast<uint8_t>(rng());
        p[3] = 0xFF;
      }
  }
  NTSTATUS Present(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    return adapter_->Present(display_, desktop_.data(), w_ * 4, {{x0, y0, x1, y1}});
  }
  // The monitor shows |want| (B, G, R compared), polled while the threads work; |want| is in
  // the device's orientation, |w| x |h| (the mode's size unless given).
  bool Shows(const std::vector<uint8_t>& want, uint32_t w = 0, uint32_t h = 0) {
    if (!w) w = w_;
    if (!h) h = h_;
    return Eventually([&] {
      auto shown = chip_->frames().Shown(0);
      if (!shown || shown->width != w || shown->height != h) return false;
      for (size_t i = 0; i < want.size(); i += 4)
        if (shown->bgra[i] != want[i] || shown->bgra[i + 1] != want[i + 1] ||
            shown->bgra[i + 2] != want[i + 2])
          return false;
      return true;
    });
  }
  bool ShowsDesktop() { return Shows(desktop_); }
  // The desktop as the device holds it at the view's rotation.
  bool ShowsTurnedDesktop(uint32_t rotation) {
    const uint32_t W = w_, H = h_;
    const bool swap = rotation & 1;
    const uint32_t dw = swap ? H : W, dh = swap ? W : H;
    std::vector<uint8_t> turned(desktop_.size());
    for (uint32_t dy = 0; dy < dh; ++dy)
      for (uint32_t dx = 0; dx < dw; ++dx) {
        uint32_t x = dx, y = dy;
        if (rotation == 1) x = dy, y = H - 1 - dx;
        if (rotation == 2) x = W - 1 - dx, y = H - 1 - dy;
        if (rotation == 3) x = W - 1 - dy, y = dx;
        std::memcpy(&turned[(size_t{dy} * dw + dx) * 4], &desktop_[(size_t{y} * W + x) * 4], 4);
      }
    return Shows(turned, dw, dh);
  }
  // JPEG full frames of view 0 that have reached the chip.
  uint64_t JpegFullFrames() const {
    const auto counts = chip_->traffic().Counts();
    const auto it = counts.find(chip::TrafficKey{0, 3, 13});
    return it == counts.end() ? 0 : it->second.messages;
  }
  // Full frames of view 0 in YUV 4:2:0 with interleaved chroma.
  uint64_t YuvFullFrames() const {
    const auto counts = chip_->traffic().Counts();
    const auto it = counts.find(chip::TrafficKey{0, 3, 6});
    return it == counts.end() ? 0 : it->second.messages;
  }
  // Updates one at a time, each waited for, until |limit| were sent or YUV frames started;
  // every one is a timed JPEG full frame (FlipMode 1).
  // One update at a time, each waited for until the chip has it and the plug-in has its
  // acknowledgement: a frame sent while nine payloads still wait for theirs is dropped for a
  // resynchronisation (a slow interrupt reader under load), and its refresh would be encoded
  // and timed once more than the chip counts.
  void SendJpegFullFrames(uint32_t limit) {
    for (uint32_t i = 0; i < limit && YuvFullFrames() == 0; ++i) {
      const uint64_t n = JpegFullFrames();
      const uint32_t x = 32 * (i % 20);
      Paint(100 + i, x, 64, x + 32, 96);
      ASSERT_EQ(Present(x, 64, x + 32, 96), STATUS_SUCCESS);
      ASSERT_TRUE(Eventually([&] { return JpegFullFrames() > n || YuvFullFrames() > 0; }));
      ASSERT_TRUE(Eventually([&] { return Acknowledged(); }));
    }
  }
  // The device's acknowledgement of the last frame sent has reached the plug-in.
  bool Acknowledged() const {
    const uint32_t sent = std::atomic_ref<uint32_t>(device_->FrameSequence).load();
    return device_->LastAckedSequence.load() == sent;
  }
  std::vector<uint8_t> Black() const { return std::vector<uint8_t>(desktop_.size(), 0); }

  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
  SorvikDevice* device_ = nullptr;
  DisplayInterface* display_ = nullptr;
  ViewContext* view_ = nullptr;
  uint32_t w_ = 0, h_ = 0;
  ULONG refresh_ = 0;
  std::vector<uint8_t> desktop_;
  std::function<void(SorvikDevice*)> before_start_;
  bool usb3_ = true;
};

TEST_F(EncodeThreadTest, RgbDesktopReachesTheMonitorExactly) {
  Begin(2);
  // The mode starts black: the initial blank frame, sent three times.
  EXPECT_TRUE(Shows(Black()));
  EXPECT_TRUE(Eventually([&] { return chip_->frames().Messages() >= 3; }));

  Paint(1, 0, 0, w_, h_);
  EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
  EXPECT_TRUE(ShowsDesktop());
  auto full = chip_->frames().LastFull(0);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->format, 9u);

  // Small updates go as two-plane patches into that frame, anywhere on the screen.
  Paint(2, 100, 200, 101, 201);
  Paint(3, 1900, 1070, 1920, 1080);
  EXPECT_EQ(Present(100, 200, 101, 201), STATUS_SUCCESS);
  EXPECT_EQ(Present(1900, 1070, 1920, 1080), STATUS_SUCCESS);
  EXPECT_TRUE(ShowsDesktop());
  EXPECT_EQ(chip_->frames().LastFull(0)->sequence, full->sequence) << "patches, not frames";
}

TEST_F(EncodeThreadTest, OutputOffAndOnStartsWithABlackFrame) {
  Begin(2, 1024, 768);
  Paint(4, 0, 0, w_, h_);
  EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
  ASSERT_TRUE(ShowsDesktop());
  EXPECT_TRUE(chip_->View(0).output_on);

  RequestViewOutput(view_, false);
  EXPECT_TRUE(Eventually([&] { return !chip_->View(0).output_on; }));
  // Updates while the output is off are not sent; the monitor keeps what it had.
  const std::vector<uint8_t> old = desktop_;
  Paint(5, 0, 0, w_, h_);
  EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);

  const uint64_t before = chip_->frames().Messages();
  RequestViewOutput(view_, true);
  EXPECT_TRUE(Eventually([&] { return chip_->View(0).output_on; }));
  // A black frame, then the whole screen as it stands now.
  EXPECT_TRUE(ShowsDesktop());
  EXPECT_GE(chip_->frames().Messages(), before + 2);
}

TEST_F(EncodeThreadTest, StopWhileAFrameIsOnItsWay) {
  Begin(2, 1024, 768);
  ASSERT_TRUE(Shows(Black()));
  ASSERT_TRUE(Eventually([&] { return chip_->frames().Messages() >= 3; }));
  {
    // Slow enough that the held write outlives the look at it.
    clock::ScopedSpeed slow(50);
    chip_->script().OnEndpoint(0x02, {chip::ScriptKind::kTimeOut, 1});
    Paint(6, 0, 0, w_, h_);
    EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
    EXPECT_TRUE(Eventually([&] { return chip_->HeldTransfers() > 0; }));
    // The host clears the mode: the encode thread ends although its packet is not consumed.
    EXPECT_EQ(adapter_->SetMode(display_, 0, 0, 0), STATUS_SUCCESS);
    EXPECT_FALSE(view_->ThreadsRunning.load());
    EXPECT_EQ(view_->EncodeThread, nullptr);
  }
  // The timed-out write failed and reset the pipe; the next mode set starts afresh.
  EXPECT_TRUE(Eventually([&] { return chip_->EndpointResets(0x02) > 0; }));
  ASSERT_EQ(adapter_->SetMode(display_, w_, h_, refresh_), STATUS_SUCCESS);
  EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
  EXPECT_TRUE(ShowsDesktop());
}

// One bulk OUT message as the capture recorded it, put back together from its transfers.
struct Message {
  uint32_t type = 0;
  std::vector<uint8_t> body;  // after the 32-byte header
  size_t after_control = 0;   // control transfers recorded before it
  uint32_t Kind() const { return body.size() >= 4 ? protocol::LoadLe32(body.data()) : 0; }
  uint32_t Sequence() const { return body.size() >= 12 ? protocol::LoadLe32(&body[8]) : 0; }
  uint32_t FullFormat() const { return body.size() >= 36 ? protocol::LoadLe32(&body[32]) : 0; }
};
struct Recorded {
  std::vector<Message> messages;
  std::vector<std::vector<uint8_t>> controls;  // setup packets
};
Recorded ReadRecord(const std::string& path) {
  std::vector<chip::CaptureRecord> records;
  std::string error;
  EXPECT_TRUE(chip::ReadCaptureFile(path, &records, &error)) << error;
  Recorded out;
  uint64_t missing = 0;
  for (const chip::CaptureRecord& r : records) {
    if (r.Is(chip::kCaptureControl)) {
      out.controls.push_back(r.data);
      continue;
    }
    if (!r.Is(chip::kCaptureBulkOut) || r.endpoint != 0x02 || r.data.empty()) continue;
    size_t at = 0;
    if (missing == 0) {
      if (r.data.size() < 32) continue;
      Message m;
      m.type = protocol::LoadLe32(r.data.data());
      m.after_control = out.controls.size();
      missing = protocol::LoadLe32(&r.data[4]);  // payload bytes after the header
      out.messages.push_back(std::move(m));
      at = 32;
    }
    const size_t n = std::min<uint64_t>(missing, r.data.size() - at);
    auto& body = out.messages.back().body;
    body.insert(body.end(), r.data.begin() + static_cast<ptrdiff_t>(at),
                r.data.begin() + static_cast<ptrdiff_t>(at + n));
    missing -= n;
  }
  return out;
}

// A full frame of |w| x |h| whose every pixel is black, in the format it names.
bool IsBlackFrame(const Message& m, uint32_t w, uint32_t h) {
  if (m.type != 0 || m.Kind() != 3 || m.body.size() < 48) return false;
  const uint8_t* p = m.body.data() + 48;
  const size_t n = m.body.size() - 48;
  switch (m.FullFormat()) {
    case 9:
      return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
    case 6: {
      const size_t luma = size_t{(w + 15) / 16 * 16} * h;
      if (n < luma + luma / 2) return false;
      return std::all_of(p, p + luma, [](uint8_t b) { return b == 0; }) &&
             std::all_of(p + luma, p + luma + luma / 2, [](uint8_t b) { return b == 128; });
    }
    case 13: {
      if (!chip::JpegDecoderAvailable()) return true;  // only the stream's presence is checked
      size_t end = n;
      while (end > 0 && p[end - 1] == 0) --end;
      chip::DecodedJpeg d;
      std::string error;
      if (!chip::DecodeJpeg(p, end, w, h, false, &d, &error) || d.width != w || d.height != h)
        return false;
      return std::all_of(d.y.begin(), d.y.end(), [](uint8_t v) { return v <= 2; }) &&
             std::all_of(d.cb.begin(), d.cb.end(), [](uint8_t v) { return v >= 126 && v <= 130; }) &&
             std::all_of(d.cr.begin(), d.cr.end(), [](uint8_t v) { return v >= 126 && v <= 130; });
    }
    default:
      return false;
  }
}

// The first thing a mode shows is a black frame, sent three times before any update, also
// when the host presents at once; switching the output on sends the request, then one black
// frame, then the screen. In each format the view may start in.
TEST_F(EncodeThreadTest, BlackFramesGoFirst) {
  for (uint8_t format_mode : {0, 1, 2}) {
    SCOPED_TRACE(int{format_mode});
    if (adapter_) {
      EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
      EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
    }
    const std::string path = ::testing::TempDir() + "vorn_black_" + std::to_string(getpid()) +
                             "_" + std::to_string(format_mode) + ".cap";
    before_start_ = [&](SorvikDevice*) { ASSERT_TRUE(chip_->capture().Open(path)); };
    Begin(format_mode, 1024, 768);
    Paint(10, 0, 0, w_, h_);
    EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return chip_->traffic().Messages() >= 4; }));

    RequestViewOutput(view_, false);
    ASSERT_TRUE(Eventually([&] { return !chip_->View(0).output_on; }));
    const uint64_t before_on = chip_->traffic().Messages();
    RequestViewOutput(view_, true);
    ASSERT_TRUE(Eventually([&] { return chip_->traffic().Messages() >= before_on + 2; }));
    ASSERT_TRUE(chip_->capture().Close());

    const Recorded rec = ReadRecord(path);
    std::remove(path.c_str());
    ASSERT_GE(rec.messages.size(), 6u);
    const uint32_t want_format = format_mode == 0 ? 13 : format_mode == 1 ? 6 : 9;
    for (size_t i = 0; i < 3; ++i) {
      const Message& m = rec.messages[i];
      EXPECT_TRUE(IsBlackFrame(m, w_, h_)) << "message " << i;
      EXPECT_EQ(m.FullFormat(), want_format) << "message " << i;
      // The same frame each time (the descriptor places it anew), under a sequence of its own.
      EXPECT_EQ(m.Sequence(), rec.messages[0].Sequence() + i);
      EXPECT_TRUE(std::equal(m.body.begin() + 48, m.body.end(), rec.messages[0].body.begin() + 48,
                             rec.messages[0].body.end()))
          << "message " << i << " differs from the first black frame";
    }
    EXPECT_FALSE(IsBlackFrame(rec.messages[3], w_, h_)) << "then the desktop";

    // The output request on, then one black frame, then the screen.
    size_t on_request = 0;
    for (size_t i = 0; i < rec.controls.size(); ++i) {
      const std::vector<uint8_t>& c = rec.controls[i];
      if (c.size() >= 8 && c[1] == protocol::ReqSetOutput && c[2] == 0 && c[4] == 1)
        on_request = i + 1;
    }
    ASSERT_NE(on_request, 0u) << "no request switching the output on";
    size_t first_after = rec.messages.size();
    for (size_t i = 0; i < rec.messages.size() && first_after == rec.messages.size(); ++i)
      if (rec.messages[i].after_control >= on_request) first_after = i;
    ASSERT_LT(first_after + 1, rec.messages.size());
    EXPECT_TRUE(IsBlackFrame(rec.messages[first_after], w_, h_));
    EXPECT_FALSE(IsBlackFrame(rec.messages[first_after + 1], w_, h_));
    if (format_mode == 2) {
      EXPECT_TRUE(ShowsDesktop());
    }
  }
}

// The BandwidthLimit that neither paces the send thread nor allows the JPEG idle refresh.
constexpr uint8_t kUnpaced = 255;

// A JPEG view on USB 3 whose full frames are slow (the test clock runs a thousand times
// fast, so every encode takes far more than 40 ms of it) moves to YUV after exactly 501 timed
// frames, with a full frame, and stays there; on USB 2 it never moves.
TEST_F(EncodeThreadTest, SlowJpegMovesToYuvAfterFiveHundredFrames) {
  before_start_ = [](SorvikDevice* d) {
    d->FlipMode = kFlipFull;
    // No pacing and no idle refresh: each update is one frame, encoded only after the host's
    // copy, so the host never waits on the frame lock while the encoder holds it.
    d->BandwidthLimit = kUnpaced;
  };
  Begin(0, 800, 600);
  ASSERT_TRUE(Eventually([&] { return JpegFullFrames() >= 3; }));
  const uint64_t blanks = JpegFullFrames();  // the initial black frame is not timed
  ASSERT_NO_FATAL_FAILURE(SendJpegFullFrames(kAdaptiveFrames + 100));
  ASSERT_TRUE(Eventually([&] { return YuvFullFrames() > 0; }));
  EXPECT_EQ(JpegFullFrames() - blanks, kAdaptiveFrames + 1);
  // Later updates are YUV.
  const uint64_t yuv = YuvFullFrames(), jpeg = JpegFullFrames();
  Paint(1, 0, 0, 32, 32);
  ASSERT_EQ(Present(0, 0, 32, 32), STATUS_SUCCESS);
  EXPECT_TRUE(Eventually([&] { return YuvFullFrames() > yuv; }));
  EXPECT_EQ(JpegFullFrames(), jpeg);

  EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
  EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
  usb3_ = false;
  Begin(0, 800, 600);
  ASSERT_TRUE(Eventually([&] { return JpegFullFrames() >= 3; }));
  const uint64_t usb2_blanks = JpegFullFrames();
  // On USB 3 the 502nd would have been YUV.
  ASSERT_NO_FATAL_FAILURE(SendJpegFullFrames(kAdaptiveFrames + 2));
  EXPECT_GE(JpegFullFrames() - usb2_blanks, kAdaptiveFrames + 2);
  EXPECT_EQ(YuvFullFrames(), 0u);
}

// What reached the chip since |before|, by message kind.
using Traffic = std::map<chip::TrafficKey, uint64_t>;
Traffic Since(const std::map<chip::TrafficKey, chip::TrafficCount>& before,
              const std::map<chip::TrafficKey, chip::TrafficCount>& now) {
  Traffic out;
  for (const auto& [key, count] : now) {
    const auto it = before.find(key);
    const uint64_t n = count.messages - (it == before.end() ? 0 : it->second.messages);
    if (n) out[key] = n;
  }
  return out;
}
std::string Describe(const Traffic& t) {
  std::string out;
  for (const auto& [k, n] : t)
    out += " {" + std::to_string(k.type) + "," + std::to_string(k.kind) + "," +
           std::to_string(k.format) + "}x" + std::to_string(n);
  return out.empty() ? " nothing" : out;
}

// Message kinds of view 0: full frame, band, JPEG patch, two-plane patch.
chip::TrafficKey Full(uint32_t f) { return {0, 3, f}; }
chip::TrafficKey Band(uint32_t f) { return {0, 1, f}; }
const chip::TrafficKey kJpegPatch{0, 7, 13};
chip::TrafficKey TwoPlane(uint32_t) { return {7, 7, 0}; }
const chip::TrafficKey kNone{99, 99, 99};

// An update, a refresh the view asks for, and the idle refresh after each, under every
// FlipMode and rotation: each takes the shape the rules give it, and stays a full frame only
// where the shape would be one the device cannot take (an RGB patch into a JPEG frame).
TEST_F(EncodeThreadTest, RefreshesTakeTheShapeOfTheirFlipModeAndRotation) {
  struct Case {
    const char* what;
    uint8_t format_mode;
    bool three_frames;
    uint32_t flip, rotation;
    chip::TrafficKey update, idle, refresh, idle_after;  // kNone: no message
  };
  const Case cases[] = {
      {"JPEG F0", 0, false, 0, 0, kJpegPatch, Full(13), Full(13), Full(13)},
      {"JPEG F1", 0, false, 1, 0, Full(13), Full(13), Full(13), Full(13)},
      {"JPEG F2", 0, false, 2, 0, kJpegPatch, kJpegPatch, kJpegPatch, kJpegPatch},
      {"JPEG F3", 0, false, 3, 0, Band(13), Full(13), Full(13), Full(13)},
      {"JPEG F3 turned", 0, false, 3, 1, Band(13), Band(13), Band(13), Band(13)},
      {"JPEG F3 upside down", 0, false, 3, 2, Band(13), Band(13), Band(13), Band(13)},
      {"JPEG F2 turned", 0, false, 2, 3, kJpegPatch, kJpegPatch, kJpegPatch, kJpegPatch},
      {"JPEG F0 turned", 0, false, 0, 1, kJpegPatch, Full(13), Full(13), Full(13)},
      // The RGB idle refresh cannot patch the JPEG frame, so the first one is whole; the
      // refresh after it brings JPEG back in its own shape, and the next RGB idle refresh
      // patches the RGB frame.
      {"RGB refresh F0", 0, true, 0, 0, kJpegPatch, Full(9), Full(13), Full(9)},
      {"RGB refresh F2", 0, true, 2, 0, kJpegPatch, Full(9), kJpegPatch, TwoPlane(9)},
      {"RGB refresh F3 turned", 0, true, 3, 1, Band(13), Full(9), Band(13), TwoPlane(9)},
      {"YUV F2", 1, false, 2, 0, TwoPlane(6), kNone, TwoPlane(6), kNone},
      {"YUV F3 turned", 1, false, 3, 3, Band(6), kNone, Band(6), kNone},
      {"RGB F2", 2, false, 2, 0, TwoPlane(9), kNone, TwoPlane(9), kNone},
      {"RGB F3 turned", 2, true, 3, 1, TwoPlane(9), TwoPlane(9), TwoPlane(9), TwoPlane(9)},
  };
  const Case* current = nullptr;
  before_start_ = [&](SorvikDevice* d) {
    d->ThreeStagingFrames = current->three_frames;
    d->FlipMode = current->flip;
    d->Rotation = static_cast<uint8_t>(current->rotation);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    current = &c;
    if (adapter_) {
      EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
      EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
    }
    const bool turned = c.rotation & 1;
    Begin(c.format_mode, turned ? 768 : 1024, turned ? 1024 : 768);
    ASSERT_EQ(view_->Modes.Rotation, c.rotation);
    ASSERT_TRUE(Eventually([&] { return chip_->traffic().Messages() >= 3; }));

    auto expect = [&](const char* step, chip::TrafficKey a, chip::TrafficKey b,
                      const std::function<void()>& act) {
      Traffic want;
      for (const chip::TrafficKey& k : {a, b})
        if (!(k == kNone)) ++want[k];
      uint64_t n = 0;
      for (const auto& [k, count] : want) n += count;
      const auto before = chip_->traffic().Counts();
      const uint64_t total = chip_->traffic().Messages();
      act();
      EXPECT_TRUE(Eventually([&] { return chip_->traffic().Messages() >= total + n; })) << step;
      // The chip model tells a two-plane patch's format from its plane spacing, which a
      // whole-screen YUV patch shares with an RGB one: patches are compared by kind only.
      Traffic got;
      for (const auto& [key, count] : Since(before, chip_->traffic().Counts())) {
        chip::TrafficKey k = key;
        if (k.type == 7) k.format = 0;
        got[k] += count;
      }
      EXPECT_EQ(got, want) << step << ": got" << Describe(got) << ", want" << Describe(want);
    };
    expect("update and its idle refresh", c.update, c.idle, [&] {
      Paint(9, 300, 300, 340, 340);
      EXPECT_EQ(Present(300, 300, 340, 340), STATUS_SUCCESS);
    });
    expect("refresh and its idle refresh", c.refresh, c.idle_after,
           [&] { RequestFullRefresh(view_); });
    // Whatever the shapes, the monitor shows the whole screen.
    if (c.format_mode == 2) {
      EXPECT_TRUE(ShowsTurnedDesktop(c.rotation));
    }
  }
}

}  // namespace
}  // namespace vorn::display::testing
