// The whole display road: the display host presents a changing desktop on two monitors through
// the plug-in to the chip model, and in the end each monitor shows its desktop (exactly in
// 24-bit RGB, within the colour conversion's rounding in YUV 4:2:0, within a PSNR bound in
// JPEG), the chip saw no protocol violation and acknowledged every display message. Also with
// held acknowledgements (the resync path) and a failing bulk transfer (the refresh path).
#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "sim/chip/interrupt_events.h"
#include "sim/chip/jpeg_decode.h"
#include "tests/display/display_fixture.h"
#include "tools/vorn-sim/session.h"

namespace vorn::sim {
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
};

// Printed in the test list; without it the case's padding bytes would be printed raw.
void PrintTo(const Case& c, std::ostream* os) {
  *os << FormatName(c.format) << (c.usb3 ? " over USB 3" : " over USB 2");
}

std::string Name(const ::testing::TestParamInfo<Case>& info) {
  return std::string(FormatName(info.param.format)) + (info.param.usb3 ? "_usb3" : "_usb2");
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
  Session& s = Start({.format = c.format, .monitors = 2, .usb3 = c.usb3, .width = kWidth,
                      .height = kHeight, .seed = 3});
  ASSERT_EQ(s.views().size(), 2u);
  Run(kSteps);
  ExpectSettled(c.format, c.format == Format::kJpeg ? kJpegPsnr : kYuvPsnr);
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

INSTANTIATE_TEST_SUITE_P(Formats, SystemFormatTest,
                         ::testing::Values(Case{Format::kRgb24, true}, Case{Format::kRgb24, false},
                                           Case{Format::kYuv420, true}, Case{Format::kYuv420, false},
                                           Case{Format::kYuv420Planar, true},
                                           Case{Format::kJpeg, true}),
                         Name);

TEST_F(SystemTest, HeldAcknowledgementsAreAllSentInTheEnd) {
  Session& s = Start({.format = Format::kYuv420, .width = kWidth, .height = kHeight, .seed = 5});
  chip_->frames().HoldAcks(true);
  Run(kSteps / 2);
  chip_->frames().HoldAcks(false);
  chip_->frames().ReleaseAcks();
  Run(kSteps / 2);
  (void)s;
  ExpectSettled(Format::kYuv420, kYuvPsnr);
}

TEST_F(SystemTest, JpegRingOverrunResynchronisesBothViews) {
  Start({.format = Format::kJpeg, .width = kWidth, .height = kHeight, .seed = 6});
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
TEST_F(SystemTest, TheMonitorsOfferTheCommonModes) {
  Session& s = Start({.format = Format::kRgb24, .monitors = 1, .width = 1366, .height = 768});
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
TEST_F(SystemTest, WideViewsRunInTheirOwnLayout) {
  Session& s = Start({.format = Format::kYuv420, .width = 2560, .height = 1440, .seed = 8});
  ASSERT_EQ(s.views().size(), 2u);
  for (const ViewState& v : s.views()) EXPECT_EQ(v.width, 2560u);
  Run(3);
  ExpectSettled(Format::kYuv420, kYuvPsnr);
}

}  // namespace
}  // namespace vorn::sim
