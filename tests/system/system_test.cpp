// The whole display road: the display host presents a changing desktop on two monitors through
// the plug-in to the chip model, and in the end each monitor shows its desktop (exactly in
// 24-bit RGB, within the colour conversion's rounding in YUV 4:2:0, within a PSNR bound in
// JPEG), the chip saw no protocol violation and acknowledged every display message. Every
// format runs on both roads: the plug-in on the chip itself, and the plug-in on the display
// child of a station driver bound to the chip, where the frames go as the station's slices
// and the station leaves nothing behind once it is removed. Also with held acknowledgements
// (the resync path) and a failing bulk transfer (the refresh path).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "sim/chip/capture.h"
#include "sim/chip/interrupt_events.h"
#include "sim/chip/jpeg_decode.h"
#include "tests/display/display_fixture.h"
#include "tools/vorn-sim/session.h"

namespace vorn::sim {

// Test names print the road by its name (the enumeration is not in this file's unnamed
// namespace, so its printer is not either).
void PrintTo(Road r, std::ostream* os) { *os << RoadName(r) << " road"; }

namespace {

using display::testing::DisplayTest;

// Small modes keep the emulated 32-bit runs quick; the pipeline is the same at any size.
constexpr uint32_t kWidth = 800, kHeight = 600;
#if UINTPTR_MAX == 0xFFFFFFFFu || defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kSteps = 12;
#else
constexpr int kSteps = 30;
#endif
constexpr int kSettleMs = 60000;
constexpr double kYuvPsnr = 30.0;
constexpr double kJpegPsnr = 28.0;

struct Case {
  Format format;
  bool usb3;
  Road road = Road::kDirect;
};

// Printed in the test list; without it the case's padding bytes would be printed raw.
void PrintTo(const Case& c, std::ostream* os) {
  *os << FormatName(c.format) << (c.usb3 ? " over USB 3" : " over USB 2") << " on the "
      << RoadName(c.road) << " road";
}

std::string Name(const ::testing::TestParamInfo<Case>& info) {
  return std::string(FormatName(info.param.format)) + (info.param.usb3 ? "_usb3_" : "_usb2_") +
         RoadName(info.param.road);
}

// Every format on the direct road, and on the station road where the build has the station.
std::vector<Case> FormatCases() {
  std::vector<Case> out;
  std::vector<Road> roads{Road::kDirect};
  if (StationRoadBuilt()) roads.push_back(Road::kStation);
  for (Road road : roads)
    for (Case c : {Case{Format::kRgb24, true}, Case{Format::kRgb24, false}, Case{Format::kYuv420, true},
                   Case{Format::kYuv420, false}, Case{Format::kYuv420Planar, true}, Case{Format::kJpeg, true}}) {
      c.road = road;
      out.push_back(c);
    }
  return out;
}

class SystemTest : public DisplayTest {
 protected:
  Session& Start(const SessionOptions& o) {
    chip_ = &AddChip(SessionProfile(o));
    session_ = std::make_unique<Session>(host_, *chip_, o);
    std::string error;
    EXPECT_TRUE(session_->BringUp(&error)) << error;
    return *session_;
  }
  void Run(int steps) {
    for (int i = 0; i < steps; ++i) ASSERT_TRUE(session_->Step()) << "step " << i;
  }
  uint64_t MessagesOfFormat(uint32_t type, uint32_t format) const {
    uint64_t n = 0;
    for (const auto& [key, count] : chip_->traffic().Counts())
      if (key.type == type && key.format == format) n += count.messages;
    return n;
  }
  // The settled end: pictures, acknowledgements and no violation.
  void ExpectSettled(Format format, double psnr) {
    if (format == Format::kJpeg && !chip::JpegDecoderAvailable())
      GTEST_SKIP() << "this build of the chip model has no JPEG decoder";
    const bool settled = session_->Settle(kSettleMs, psnr);
    EXPECT_TRUE(settled);
    for (size_t v = 0; v < session_->views().size(); ++v) {
      const Difference d = session_->DifferenceOf(v);
      ASSERT_TRUE(d.shown) << "view " << v;
      if (format == Format::kRgb24) {
        EXPECT_EQ(d.pixels, 0u) << "view " << v << ", largest difference " << d.max_channel;
      } else {
        EXPECT_GE(d.psnr, psnr) << "view " << v;
        if (format != Format::kJpeg) {
          EXPECT_EQ(d.flat_misses, 0u) << "view " << v;
        }
      }
    }
    EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
    EXPECT_EQ(session_->Acks(), session_->DisplayMessages());
    EXPECT_EQ(chip_->frames().Jpeg().failed, 0u) << chip_->frames().Jpeg().last_failure;
  }
  void TearDown() override {
    if (session_) {
      EXPECT_EQ(session_->Close(), STATUS_SUCCESS);
      // The station is removed: every request completed, every pool block freed.
      if (session_->OnStationRoad()) {
        EXPECT_EQ(session_->StationLeftovers(), std::vector<std::string>{});
        EXPECT_EQ(session_->StationProblems(), std::vector<std::string>{});
      }
    }
    session_.reset();
  }

  // Ten times real speed instead of the fixture's thousand: the plug-in's frame lock gives up
  // after 10 s of its clock, and a conversion under a sanitizer may take longer than the
  // 10 ms that would be; then Present and the encoder would share the frame unlocked, as they
  // may after a real time-out.
  clock::ScopedSpeed speed_{10};
  chip::Chip* chip_ = nullptr;
  std::unique_ptr<Session> session_;
};

class SystemFormatTest : public SystemTest, public ::testing::WithParamInterface<Case> {};

TEST_P(SystemFormatTest, MonitorsShowTheDesktops) {
  const Case c = GetParam();
  Session& s = Start({.road = c.road, .format = c.format, .monitors = 2, .usb3 = c.usb3,
                      .width = kWidth, .height = kHeight, .seed = 3});
  ASSERT_EQ(s.views().size(), 2u);
  Run(kSteps);
  ExpectSettled(c.format, c.format == Format::kJpeg ? kJpegPsnr : kYuvPsnr);
  if (HasFatalFailure() || IsSkipped()) return;
  // The road the frames took: the station's slices on its display channel, or whole
  // messages straight to the chip.
  uint64_t sliced = 0;
  for (uint32_t channel = 0; channel < chip::StationBulkOut::kChannels; ++channel)
    sliced += chip_->station_bulk_out().Completed(channel);
  if (c.road == Road::kStation) {
    EXPECT_GT(chip_->station_bulk_out().Completed(0), 0u);
    EXPECT_EQ(sliced, chip_->traffic().Messages());
  } else {
    EXPECT_EQ(sliced, 0u);
  }
  // The frames went in the format asked for.
  EXPECT_GT(MessagesOfFormat(0, SurfaceFormatOf(c.format)), 0u);
  // Planar YUV views start with three blank frames in the interleaved layout, as every YUV
  // view does; after them everything is planar.
  for (uint32_t other : {4u, 6u, 9u, 13u}) {
    const uint64_t blank = c.format == Format::kYuv420Planar && other == 6 ? 3 * s.views().size() : 0;
    if (other != SurfaceFormatOf(c.format)) {
      EXPECT_EQ(MessagesOfFormat(0, other), blank) << other;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, SystemFormatTest, ::testing::ValuesIn(FormatCases()), Name);

// A capture replayed into a fresh chip of the same profile (the host's control requests with
// their data, every bulk OUT transfer as it was accepted, every pipe reset) makes the same
// pictures on its monitors: on the station road, where the bulk transfers are the station's
// slices of the plug-in's messages, as on the direct one.
struct CaptureCase {
  Road road = Road::kDirect;
  Format format;
};
void PrintTo(const CaptureCase& c, std::ostream* os) {
  *os << FormatName(c.format) << " on the " << RoadName(c.road) << " road";
}
std::string CaptureName(const ::testing::TestParamInfo<CaptureCase>& info) {
  return std::string(FormatName(info.param.format)) + "_" + RoadName(info.param.road);
}
std::vector<CaptureCase> CaptureCases() {
  std::vector<CaptureCase> out;
  std::vector<Road> roads{Road::kDirect};
  if (StationRoadBuilt()) roads.push_back(Road::kStation);
  for (Road road : roads)
    for (Format format : {Format::kRgb24, Format::kYuv420Planar}) out.push_back({road, format});
  return out;
}

class SystemCaptureTest : public SystemTest, public ::testing::WithParamInterface<CaptureCase> {};

TEST_P(SystemCaptureTest, ReplayedCaptureMakesTheSamePictures) {
  const CaptureCase c = GetParam();
  const std::string path = ::testing::TempDir() + "vorn_system_" + CaptureName({c, 0}) + "_" +
                           std::to_string(getpid()) + ".cap";
  const SessionOptions o{.road = c.road, .format = c.format, .monitors = 2, .usb3 = true,
                         .width = kWidth, .height = kHeight, .seed = 9};
  chip_ = &AddChip(SessionProfile(o));
  std::string error;
  ASSERT_TRUE(chip_->capture().Open(path, &error)) << error;
  session_ = std::make_unique<Session>(host_, *chip_, o);
  ASSERT_TRUE(session_->BringUp(&error)) << error;
  Run(kSteps / 2);
  ExpectSettled(c.format, kYuvPsnr);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(chip_->capture().Close());

  std::vector<chip::CaptureRecord> records;
  ASSERT_TRUE(chip::ReadCaptureFile(path, &records, &error)) << error;
  std::remove(path.c_str());
  chip::Chip replay(SessionProfile(o));
  replay.UseStationBulkOut(c.road == Road::kStation);
  if (c.format == Format::kRgb24) replay.frames().SetRing(replay.frames().MemorySize(), replay.frames().MemorySize());
  for (const ViewState& v : session_->views())
    replay.frames().SetMode(static_cast<int>(v.display->ViewIndex), v.width, v.height);
  uint64_t bulk = 0;
  for (chip::CaptureRecord& r : records) {
    usb::Transfer t;
    if (r.Is(chip::kCaptureControl)) {
      ASSERT_GE(r.data.size(), 8u);
      std::memcpy(&t.setup, r.data.data(), 8);  // little-endian on the wire and here
      if (t.setup.bmRequestType & usb::kDirIn) continue;  // the chip's answers change nothing
      t.buffer = r.data.size() > 8 ? r.data.data() + 8 : nullptr;
      t.length = static_cast<uint32_t>(r.data.size() - 8);
    } else if (r.Is(chip::kCaptureBulkOut) && r.endpoint == chip::kEndpointBulkOut) {
      t.endpoint = chip::kEndpointBulkOut;
      t.buffer = r.data.data();
      t.length = static_cast<uint32_t>(r.data.size());
      ++bulk;
    } else {
      if (r.Is(chip::kCaptureReset)) replay.ResetEndpoint(static_cast<uint8_t>(r.endpoint));
      continue;
    }
    EXPECT_EQ(usb::RunSync(replay, t, std::chrono::seconds(5)), usb::TransferStatus::kSuccess);
  }
  EXPECT_GT(bulk, 0u);
  EXPECT_EQ(replay.violations().Messages(), std::vector<std::string>{});
  // The same messages, kind by kind and byte for byte in number.
  const auto counts = chip_->traffic().Counts(), replayed_counts = replay.traffic().Counts();
  EXPECT_EQ(replayed_counts.size(), counts.size());
  for (const auto& [key, count] : counts) {
    auto it = replayed_counts.find(key);
    ASSERT_NE(it, replayed_counts.end()) << "type " << key.type << " kind " << key.kind << " format " << key.format;
    EXPECT_EQ(it->second.messages, count.messages) << "type " << key.type << " kind " << key.kind;
    EXPECT_EQ(it->second.bytes, count.bytes) << "type " << key.type << " kind " << key.kind;
  }
  for (const ViewState& v : session_->views()) {
    const int view = static_cast<int>(v.display->ViewIndex);
    auto shown = chip_->frames().Shown(view);
    auto replayed = replay.frames().Shown(view);
    ASSERT_TRUE(shown && replayed) << "view " << view;
    EXPECT_EQ(replayed->width, shown->width);
    EXPECT_EQ(replayed->height, shown->height);
    EXPECT_TRUE(replayed->bgra == shown->bgra) << "view " << view;
  }
}

INSTANTIATE_TEST_SUITE_P(Roads, SystemCaptureTest, ::testing::ValuesIn(CaptureCases()), CaptureName);

// The other system tests on each road the build has.
class SystemRoadTest : public SystemTest, public ::testing::WithParamInterface<Road> {};

std::vector<Road> Roads() {
  std::vector<Road> out{Road::kDirect};
  if (StationRoadBuilt()) out.push_back(Road::kStation);
  return out;
}

TEST_P(SystemRoadTest, HeldAcknowledgementsAreAllSentInTheEnd) {
  Session& s = Start({.road = GetParam(), .format = Format::kYuv420, .width = kWidth, .height = kHeight, .seed = 5});
  chip_->frames().HoldAcks(true);
  Run(kSteps / 2);
  chip_->frames().HoldAcks(false);
  chip_->frames().ReleaseAcks();
  Run(kSteps / 2);
  (void)s;
  ExpectSettled(Format::kYuv420, kYuvPsnr);
}

TEST_P(SystemRoadTest, JpegRingOverrunResynchronisesBothViews) {
  Start({.road = GetParam(), .format = Format::kJpeg, .width = kWidth, .height = kHeight, .seed = 6});
  // Unacknowledged payloads fill the rectangle ring's record; the send thread then forgets
  // them, refreshes both views and flags the next messages.
  chip_->frames().HoldAcks(true);
  // Each step waits for a message to reach the chip, so that updates are not all merged
  // into one; ten unacknowledged payloads are more than the record holds.
  for (int i = 0; i < 200 && chip_->traffic().Flagged() == 0; ++i) {
    const uint64_t before = chip_->traffic().Messages();
    ASSERT_TRUE(session_->Step());
    display::testing::Eventually([&] { return chip_->traffic().Messages() != before; }, 500);
  }
  chip_->frames().HoldAcks(false);
  chip_->frames().ReleaseAcks();
  Run(4);
  ExpectSettled(Format::kJpeg, kJpegPsnr);
  if (HasFatalFailure() || IsSkipped()) return;
  EXPECT_GT(chip_->frames().AckedSequences().size(), 9u);
  // The ring overran at least once: the first messages after it carry the resync flag.
  EXPECT_GT(chip_->traffic().Flagged(), 0u);
}

TEST_F(SystemTest, FailedBulkTransferRefreshesTheView) {
  Start({.format = Format::kRgb24, .width = kWidth, .height = kHeight, .seed = 7});
  Run(3);
  ASSERT_TRUE(session_->Settle(kSettleMs, kYuvPsnr));
  const uint64_t full_before = MessagesOfFormat(0, 9);
  chip_->script().OnEndpoint(chip::kEndpointBulkOut, {chip::ScriptKind::kFail, 1});
  Run(kSteps / 2);
  ExpectSettled(Format::kRgb24, 0);
  EXPECT_GE(chip_->EndpointResets(chip::kEndpointBulkOut), 1u);
  // The failed message was replaced by a full frame of its view.
  EXPECT_GT(MessagesOfFormat(0, 9), full_before);
}

// The simulated monitors offer the common modes, USB 3 up to 2560x1440; one asked for is set.
TEST_P(SystemRoadTest, TheMonitorsOfferTheCommonModes) {
  Session& s = Start({.road = GetParam(), .format = Format::kRgb24, .monitors = 1, .width = 1366, .height = 768});
  ASSERT_EQ(s.views().size(), 1u);
  EXPECT_EQ(s.views()[0].width, 1366u);
  EXPECT_EQ(s.views()[0].height, 768u);
  std::vector<TargetMode> modes;
  ASSERT_TRUE(NT_SUCCESS(s.adapter()->GetModes(s.views()[0].display, &modes)));
  std::set<std::pair<uint32_t, uint32_t>> offered;
  for (const TargetMode& m : modes) offered.insert({m.Width, m.Height});
  for (const auto& size : std::vector<std::pair<uint32_t, uint32_t>>{
           {800, 600}, {1024, 768}, {1280, 720}, {1366, 768}, {1600, 900}, {1920, 1080},
           {1920, 1200}, {2560, 1440}})
    EXPECT_TRUE(offered.count(size)) << size.first << "x" << size.second;
  // 3840x2160 needs more memory than this adapter has.
  EXPECT_FALSE(offered.count({3840, 2160}));
}

// Two monitors of 2560x1440 share memory in the wide layout, its ring at the top 8 MiB.
TEST_P(SystemRoadTest, WideViewsRunInTheirOwnLayout) {
  Session& s = Start({.road = GetParam(), .format = Format::kYuv420, .width = 2560, .height = 1440, .seed = 8});
  ASSERT_EQ(s.views().size(), 2u);
  for (const ViewState& v : s.views()) EXPECT_EQ(v.width, 2560u);
  Run(3);
  ExpectSettled(Format::kYuv420, kYuvPsnr);
}

INSTANTIATE_TEST_SUITE_P(Roads, SystemRoadTest, ::testing::ValuesIn(Roads()),
                         [](const ::testing::TestParamInfo<Road>& info) { return std::string(RoadName(info.param)); });

}  // namespace
}  // namespace vorn::sim
