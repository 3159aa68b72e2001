#include <gtest/gtest.h>

#include <cstring>

#include "display/views/gamma.h"
#include "protocol/gamma.h"
#include "tests/display/views/views_fixture.h"

namespace vorn::display::testing {
namespace {

using GammaTest = ViewsTest;
using Req = std::pair<uint16_t, uint16_t>;

protocol::GammaRamp Ramp(uint8_t kind, uint8_t seed) {
  protocol::GammaRamp r;
  r.Kind = kind;
  for (size_t t = 0; t < protocol::kGammaTableCount; ++t)
    for (size_t i = 0; i < protocol::kGammaTableSize; ++i)
      r.Tables[t][i] = static_cast<uint8_t>(seed + t * 85 + i);
  return r;
}

constexpr uint8_t kTable = protocol::ReqGammaTable;
constexpr uint8_t kControl = protocol::ReqGammaControl;

TEST_F(GammaTest, OnSendsThreeTablesThenTheControlAndOffSendsTheControlOnce) {
  Started(chip::MakeProfile({.views = 2}));
  for (uint16_t v = 0; v < 2; ++v) {
    SCOPED_TRACE(v);
    DisplayInterface* d = adapter_->HeldDisplay(v);
    ASSERT_NE(d, nullptr);
    const uint16_t high = static_cast<uint16_t>(v << 8);
    const protocol::GammaRamp on = Ramp(1, static_cast<uint8_t>(v * 7));

    chip_->log().Clear();
    EXPECT_EQ(adapter_->SetGamma(d, &on), STATUS_SUCCESS);
    EXPECT_EQ(Codes(), (std::vector<uint8_t>{kTable, kTable, kTable, kControl}));
    EXPECT_EQ(Requests(kTable), (std::vector<Req>{{high, 0x100}, {high, 0x200}, {high, 0x400}}));
    EXPECT_EQ(Requests(kControl), (std::vector<Req>{{high + 2, 0}}));
    // Each table travels from its own offset: 0x100 the third, 0x400 the first.
    const auto sent = chip_->log().VendorRequests();
    ASSERT_EQ(sent.size(), 4u);
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(sent[i].data.size(), 256u);
      EXPECT_EQ(std::memcmp(sent[i].data.data(), on.Tables[2 - i], 256), 0) << i;
    }
    EXPECT_EQ(std::memcmp(View(v)->GammaCopy, &on, sizeof on), 0);

    chip_->log().Clear();
    EXPECT_EQ(adapter_->SetGamma(d, &on), STATUS_SUCCESS);  // the same ramp again
    EXPECT_TRUE(Codes().empty());

    const protocol::GammaRamp off = Ramp(0, 0);
    EXPECT_EQ(adapter_->SetGamma(d, &off), STATUS_SUCCESS);
    EXPECT_EQ(Codes(), (std::vector<uint8_t>{kControl}));
    EXPECT_EQ(Requests(kControl), (std::vector<Req>{{high, 0}}));
    chip_->log().Clear();
    EXPECT_EQ(adapter_->SetGamma(d, &off), STATUS_SUCCESS);
    EXPECT_TRUE(Codes().empty());

    // Other kinds and a null ramp send nothing; the host always hears 0.
    const protocol::GammaRamp other = Ramp(7, 0);
    EXPECT_EQ(adapter_->SetGamma(d, &other), STATUS_SUCCESS);
    EXPECT_EQ(adapter_->SetGamma(d, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(SetGammaRamp(View(v), 1, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Codes().empty());
  }
}

// A request that fails leaves the device partly written: the same ramp, and the one it held
// before, must both be sent again.
TEST_F(GammaTest, AFailedRequestNeverLetsARetryBeSkipped) {
  struct Case {
    const char* name;
    uint8_t code;
    uint32_t skip;  // requests of |code| that still succeed
    std::vector<uint8_t> sent;
  };
  const Case cases[] = {
      {"final control fails", kControl, 0, {kTable, kTable, kTable, kControl}},
      {"second table fails", kTable, 1, {kTable, kTable}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Started(chip::MakeProfile({.views = 1}));
    ViewContext* view = View();
    const protocol::GammaRamp x = Ramp(1, 1), y = Ramp(1, 2);
    const auto* xb = reinterpret_cast<const uint8_t*>(&x);
    const auto* yb = reinterpret_cast<const uint8_t*>(&y);
    ASSERT_EQ(SetGammaRamp(view, 1, xb), STATUS_SUCCESS);

    chip_->log().Clear();
    if (c.skip) chip_->script().OnRequest(c.code, {chip::ScriptKind::kNormal, c.skip});
    chip_->script().OnRequest(c.code, {chip::ScriptKind::kStall, 1});
    EXPECT_FALSE(NT_SUCCESS(SetGammaRamp(view, 1, yb)));
    EXPECT_EQ(Codes(), c.sent);

    chip_->log().Clear();
    EXPECT_EQ(SetGammaRamp(view, 1, yb), STATUS_SUCCESS);
    EXPECT_EQ(Codes(), (std::vector<uint8_t>{kTable, kTable, kTable, kControl}));

    chip_->log().Clear();
    chip_->script().OnRequest(kControl, {chip::ScriptKind::kStall, 1});
    EXPECT_FALSE(NT_SUCCESS(SetGammaRamp(view, 1, xb)));
    chip_->log().Clear();
    EXPECT_EQ(SetGammaRamp(view, 1, xb), STATUS_SUCCESS);
    EXPECT_EQ(Codes().size(), 4u);

    // A failed off is sent again too.
    chip_->log().Clear();
    chip_->script().OnRequest(kControl, {chip::ScriptKind::kStall, 1});
    EXPECT_FALSE(NT_SUCCESS(SetGammaRamp(view, 0, nullptr)));
    EXPECT_EQ(SetGammaRamp(view, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Codes(), (std::vector<uint8_t>{kControl, kControl}));
  }
}

TEST_F(GammaTest, BringUpTurnsGammaOffSoTheFirstRampIsSent) {
  chip_ = &AddChip(chip::MakeProfile({.views = 2}));
  adapter_ = &AddAdapter(*chip_);
  ASSERT_TRUE(adapter_->Open());
  EXPECT_EQ(Requests(kControl), (std::vector<Req>{{0x000, 0}, {0x100, 0}}));
  EXPECT_EQ(View(0)->GammaCopy[0], 0);
  // A ramp of all zero tables differs from the zeroed copy in its kind only.
  protocol::GammaRamp blank;
  blank.Kind = 1;
  chip_->log().Clear();
  EXPECT_EQ(SetGammaRamp(View(0), 1, reinterpret_cast<const uint8_t*>(&blank)), STATUS_SUCCESS);
  EXPECT_EQ(Codes().size(), 4u);
}

TEST_F(GammaTest, GammaNeedsHostVersionOneFiveAndDeviceVersionEight) {
  struct Case {
    host::InterfaceVersion host;
    uint32_t device;
    bool offered;
  };
  for (const Case& c : {Case{host::kVersion15, 8, true}, Case{host::kVersion14, 8, false},
                        Case{host::kVersion20, 8, false}, Case{host::kVersion15, 7, false}}) {
    SCOPED_TRACE(::testing::Message() << c.host.major << "." << c.host.minor << " on " << c.device);
    chip::ChipProfile p = chip::MakeProfile({.views = 1});
    p.device_values[chip::kDeviceValueCmdVersion] = c.device;
    Started(p, c.host);
    EXPECT_EQ(adapter_->Displays().back().block.SetGamma != nullptr, c.offered);
    if (c.device < 8) {
      const protocol::GammaRamp on = Ramp(1, 3);
      EXPECT_EQ(SetGammaRamp(View(), 1, reinterpret_cast<const uint8_t*>(&on)),
                STATUS_NOT_SUPPORTED);
      EXPECT_EQ(ResetGamma(View()), STATUS_NOT_SUPPORTED);
    }
  }
}

}  // namespace
}  // namespace vorn::display::testing
