// The display host with the plug-in loaded as a module: each adapter profile through open,
// start, power down and up, and close; interface versions; the trace provider's lifetime.
#include <gtest/gtest.h>

#include "display/device/trace_messages.h"
#include "platform/nt/clock.h"
#include "platform/win32/trace_sink.h"
#include "sim/chip/chip.h"
#include "sim/host/display_host.h"

namespace vorn::host {
namespace {

std::unique_ptr<DisplayHost> LoadPlugin() {
  std::string error;
  auto host = DisplayHost::Load(VORN_MARREL_PATH, &error);
  EXPECT_NE(host, nullptr) << error;
  return host;
}

TEST(DisplayHost, RunsEveryProfileThroughItsLife) {
  clock::ScopedSpeed fast(1000);
  auto host = LoadPlugin();
  ASSERT_NE(host, nullptr);
  for (const chip::ChipProfile& profile : chip::StandardProfiles()) {
    chip::Chip chip(profile);
    {
      Adapter& a = host->AddAdapter(&chip);
      ASSERT_TRUE(a.Open()) << profile.name;
      EXPECT_EQ(a.block().ViewCount, profile.ViewCount()) << profile.name;
      EXPECT_EQ(a.Start(), STATUS_SUCCESS) << profile.name;
      EXPECT_EQ(a.HeldDisplays(), static_cast<size_t>(profile.ViewCount())) << profile.name;
      EXPECT_EQ(a.PowerEvent(3), STATUS_SUCCESS);
      EXPECT_EQ(a.PowerEvent(4), STATUS_SUCCESS);
      EXPECT_EQ(a.Close(), STATUS_SUCCESS);
      EXPECT_FALSE(a.IsOpen());
      EXPECT_EQ(a.wdf().LiveObjectCount(), 0u) << profile.name;
      host->RemoveAdapter(a);
    }
    EXPECT_EQ(chip.StartDisplayCount(), 2u) << profile.name;
    EXPECT_EQ(chip.violations().Messages(), std::vector<std::string>{}) << profile.name;
  }
  // The adapter the plug-in must refuse.
  chip::Chip small(chip::MakeProfile({2, 19, true}));
  Adapter& refused = host->AddAdapter(&small);
  EXPECT_FALSE(refused.Open());
  host->RemoveAdapter(refused);
}

TEST(DisplayHost, InterfaceVersionsAndGamma) {
  clock::ScopedSpeed fast(1000);
  auto host = LoadPlugin();
  ASSERT_NE(host, nullptr);
  struct Case {
    InterfaceVersion version;
    ULONG gamma;
  } cases[] = {{kVersion14, 0}, {kVersion15, 1}, {kVersion20, 0}};
  for (const Case& c : cases) {
    chip::Chip chip(chip::MakeProfile({1, 64, true}));
    Adapter* a = host->OpenAdapter(&chip, c.version);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->block().VersionMajor, 1);
    EXPECT_EQ(a->block().VersionMinor, 5);
    EXPECT_EQ(a->block().GammaSupported, c.gamma);
    ASSERT_EQ(a->Start(), STATUS_SUCCESS);
    auto displays = a->Displays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].block.SetGamma != nullptr, c.gamma == 1);
    EXPECT_EQ(a->Close(), STATUS_SUCCESS);
    host->RemoveAdapter(*a);
  }
}

TEST(DisplayHost, ServesAndRecordsAcquireAndRelease) {
  clock::ScopedSpeed fast(1000);
  chip::Chip chip(chip::MakeProfile({2, 64, true}));
  chip::Chip other(chip::MakeProfile({1, 64, true}));
  auto host = LoadPlugin();  // closes its adapters before the chips go
  ASSERT_NE(host, nullptr);
  Adapter& a = host->AddAdapter(&chip);
  a.SetTargetId(77);
  ASSERT_TRUE(a.Open());
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  auto displays = a.Displays();
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(displays[0].block.TargetID, 77u);
  EXPECT_EQ(displays[1].block.TargetID, 78u);
  EXPECT_NE(displays[0].context, displays[1].context);
  // What the plug-in's ReleaseDisplay call looks like to the host.
  a.block().ReleaseDisplay(displays[1].context);
  EXPECT_TRUE(a.Displays()[1].released);
  EXPECT_EQ(a.HeldDisplays(), 1u);
  a.block().ReleaseDisplay(0x7);  // not a context of this host: ignored
  EXPECT_EQ(a.HeldDisplays(), 1u);

  // A host that refuses displays leaves the views without a context.
  Adapter& b = host->AddAdapter(&other);
  b.SetRefuseDisplays(true);
  ASSERT_TRUE(b.Open());
  EXPECT_EQ(b.Start(), STATUS_SUCCESS);
  ASSERT_EQ(b.Displays().size(), 1u);
  EXPECT_EQ(b.Displays()[0].context, 0u);
  EXPECT_EQ(b.HeldDisplays(), 0u);
}

TEST(DisplayHost, TraceProviderLivesWithTheModule) {
  EXPECT_FALSE(win32::IsTraceProviderRegistered(display::kTraceControlGuid));
  {
    auto host = LoadPlugin();
    ASSERT_NE(host, nullptr);
    EXPECT_TRUE(win32::IsTraceProviderRegistered(display::kTraceControlGuid));
    win32::ClearTraceRecords();
    EXPECT_EQ(win32::EnableTraceProvider(display::kTraceControlGuid, 4, 0x0004), ERROR_SUCCESS);
    chip::Chip chip(chip::MakeProfile({1, 64, true}));
    clock::ScopedSpeed fast(1000);
    ASSERT_NE(host->OpenAdapter(&chip), nullptr);
    size_t entry_messages = 0;
    for (const auto& r : win32::TraceRecords()) {
      EXPECT_EQ(r.messageGuid, display::kTraceUnitEntry);  // only the enabled area
      ++entry_messages;
    }
    EXPECT_GE(entry_messages, 2u);
    win32::DisableTraceProvider(display::kTraceControlGuid);
    host.reset();  // unloads the module while the chip is still there
  }
  EXPECT_FALSE(win32::IsTraceProviderRegistered(display::kTraceControlGuid));
}

TEST(DisplayHost, LoadOfAMissingModuleFails) {
  std::string error;
  EXPECT_EQ(DisplayHost::Load("/nonexistent/libmarrel.so", &error), nullptr);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace vorn::host
