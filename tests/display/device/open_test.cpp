// OpenSorvikDevice: refusals, the written-back block, the bring-up requests, clean failure of
// every creation, and adapters that live side by side.
#include "display/device/bring_up.h"
#include "display/device/trace_messages.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"
#include "protocol/vendor_request.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;

TEST_F(DisplayTest, RefusesMissingBlockTableAndGlobalsWithoutMakingAHeap) {
  chip::Chip& chip = AddChip(MakeProfile({2, 64, true}));
  host::Adapter& a = AddAdapter(chip);
  const uint64_t heaps_before = win32::GetHeapTotals().heapsCreated;
  EXPECT_EQ(a.OpenWithoutBlock(), nullptr);
  EXPECT_EQ(a.OpenWithBlock(false, true), nullptr);
  EXPECT_EQ(a.OpenWithBlock(true, false), nullptr);
  EXPECT_EQ(win32::GetHeapTotals().heapsCreated, heaps_before);
  EXPECT_EQ(chip.log().Snapshot().size(), 0u);
}

TEST_F(DisplayTest, RefusesBadAdaptersAndReleasesEverything) {
  struct Case {
    const char* what;
    void (*change)(chip::ChipProfile&);
  } cases[] = {
      {"bad capability magic", [](chip::ChipProfile& p) { p.capability_magic = 0x50534945; }},
      {"no views", [](chip::ChipProfile& p) { p.view_descriptor = {0, 0}; }},
      {"19 MiB of memory", [](chip::ChipProfile& p) { p.memory_mib = 19; }},
  };
  for (const Case& c : cases) {
    chip::ChipProfile p = MakeProfile({2, 64, true});
    c.change(p);
    chip::Chip& chip = AddChip(p);
    host::Adapter& a = AddAdapter(chip);
    const Resources before = Stable();
    EXPECT_FALSE(a.Open()) << c.what;
    EXPECT_EQ(Settled(before), before) << c.what;
    EXPECT_EQ(a.wdf().LiveObjectCount(), 0u) << c.what;
    EXPECT_EQ(chip.interrupts().WaitingReads(), 0u) << c.what;
  }
}

TEST_F(DisplayTest, ChipThatFailsItsBringUpRequests) {
  struct Case {
    uint8_t code;
    chip::ScriptKind kind;
    bool opens;
  } cases[] = {
      {protocol::ReqReadCapabilities, chip::ScriptKind::kStall, false},
      {protocol::ReqReadCapabilities, chip::ScriptKind::kShort, false},  // the views are cut off
      {protocol::ReqReadCapabilities, chip::ScriptKind::kGone, false},
      {protocol::ReqMemorySize, chip::ScriptKind::kTimeOut, false},
      {protocol::ReqReadDeviceValue, chip::ScriptKind::kFail, true},  // values are only read
      {protocol::ReqStartDisplay, chip::ScriptKind::kStall, true},    // its status is not used
  };
  for (const Case& c : cases) {
    chip::Chip& chip = AddChip(MakeProfile({2, 64, true}));
    chip.script().OnRequest(c.code, {c.kind, chip::ScriptAction::kForever, 10});
    host::Adapter& a = AddAdapter(chip);
    const Resources before = Stable();
    EXPECT_EQ(a.Open(), c.opens) << int{c.code} << " kind " << static_cast<int>(c.kind);
    if (c.opens) {
      EXPECT_EQ(a.Start(), STATUS_SUCCESS);
      EXPECT_EQ(a.Close(), STATUS_SUCCESS);
    }
    EXPECT_EQ(Settled(before), before) << int{c.code};
    EXPECT_EQ(a.wdf().LiveObjectCount(), 0u) << int{c.code};
    EXPECT_EQ(chip.HeldTransfers(), 0u);
  }
}

TEST_F(DisplayTest, OpenSelectsTheProcessorsBuild) {
  namespace prim = jpeg::prim;
  prim::BuildSelection best{};
  // 20 on a processor of another maker, with the slot its features select all the same.
  const auto chosen = prim::SelectProcessorBuild(prim::HostCpuProbe(), &best);
  ASSERT_TRUE(chosen == 0 || chosen == 20) << chosen;
  // As before any selection: every dispatch goes to slot 0.
  prim::ProcessorIndex.store(0);
  prim::EnabledFeatureMask.store(3);
  ASSERT_TRUE(Opened(MakeProfile({1, 64, true})).IsOpen());
  EXPECT_EQ(prim::CurrentProcessorIndex(), best.processorIndex);
  EXPECT_EQ(prim::EnabledFeatureMask.load(), best.enabledMask);
}

TEST_F(DisplayTest, WritesBackVersionCallbacksViewsAndGamma) {
  struct Case {
    host::InterfaceVersion version;
    uint32_t cmd_version;
    int views;
    ULONG gamma;
  } cases[] = {
      {host::kVersion15, 8, 2, 1}, {host::kVersion14, 8, 2, 0}, {host::kVersion20, 8, 1, 0},
      {host::kVersion15, 7, 1, 0}, {host::kVersion15, 9, 1, 1},
  };
  for (const Case& c : cases) {
    chip::ChipProfile p = MakeProfile({c.views, 64, true});
    p.device_values[chip::kDeviceValueCmdVersion] = c.cmd_version;
    host::Adapter& a = Opened(p, c.version);
    ASSERT_TRUE(a.IsOpen());
    const SorvikDeviceInterface& b = a.block();
    EXPECT_EQ(b.VersionMajor, 1);
    EXPECT_EQ(b.VersionMinor, 5);
    EXPECT_NE(b.Start, nullptr);
    EXPECT_NE(b.Close, nullptr);
    EXPECT_NE(b.PowerEvent, nullptr);
    EXPECT_EQ(b.ViewCount, c.views);
    EXPECT_EQ(b.GammaSupported, c.gamma) << c.version.major << "." << c.version.minor << " cmd "
                                         << c.cmd_version;
    // The record keeps the host's own numbers.
    EXPECT_EQ(a.handle()->Host.VersionMajor, c.version.major);
    EXPECT_EQ(a.handle()->Host.VersionMinor, c.version.minor);
    EXPECT_EQ(a.handle()->VendorCmdVersion, c.cmd_version);
  }
}

TEST_F(DisplayTest, BringUpSendsItsRequestsInOrder) {
  struct Case {
    uint32_t cmd_version;
    std::vector<uint8_t> codes;
  } cases[] = {
      {8, {protocol::ReqReadDeviceValue, protocol::ReqReadDeviceValue, protocol::ReqReadDeviceValue,
           protocol::ReqReadCapabilities, protocol::ReqMemorySize, protocol::ReqGammaControl,
           protocol::ReqGammaControl, protocol::ReqStartDisplay}},
      {7, {protocol::ReqReadDeviceValue, protocol::ReqReadDeviceValue, protocol::ReqReadDeviceValue,
           protocol::ReqReadCapabilities, protocol::ReqMemorySize, protocol::ReqStartDisplay}},
  };
  for (const Case& c : cases) {
    chip::ChipProfile p = MakeProfile({2, 64, true});
    p.device_values[chip::kDeviceValueCmdVersion] = c.cmd_version;
    chip::Chip& chip = AddChip(p);
    ASSERT_TRUE(AddAdapter(chip).Open());
    EXPECT_EQ(chip.log().VendorCodes(), c.codes) << "command set " << c.cmd_version;
    EXPECT_EQ(chip.violations().Count(), 0u);
    EXPECT_TRUE(Eventually([&] { return chip.interrupts().WaitingReads() > 0; }))
        << "the interrupt reader posts its reads";
  }
}

TEST_F(DisplayTest, DeviceValuesThatFailLeaveZero) {
  chip::ChipProfile p = MakeProfile({1, 64, true});
  p.device_values.erase(chip::kDeviceValueHwPlatform);
  host::Adapter& a = Opened(p);
  ASSERT_TRUE(a.IsOpen());
  EXPECT_EQ(a.handle()->HwPlatform, 0u);
  EXPECT_EQ(a.handle()->VendorCmdVersion, 8u);
}

// Every event, lock, allocation and thread-free creation of the bring-up, failed in turn:
// the open fails and leaves nothing behind.
TEST_F(DisplayTest, EveryFailedCreationFailsTheOpenCleanly) {
  chip::Chip& chip = AddChip(MakeProfile({2, 64, true}));
  for (uint32_t skip = 0;; ++skip) {
    ASSERT_LT(skip, 64u);
    host::Adapter& a = AddAdapter(chip);
    const Resources before = Stable();
    win32::FailCalls(win32::Fault::kCreateEvent, skip, 1);
    bool opened = a.Open();
    win32::ClearFaults();
    if (opened) {
      EXPECT_GT(skip, 0u);
      a.Close();
      EXPECT_EQ(Settled(before), before);
      break;
    }
    EXPECT_EQ(Settled(before), before) << "event " << skip;
    EXPECT_EQ(a.wdf().LiveObjectCount(), 0u) << "event " << skip;
  }
  for (uint32_t skip = 0;; ++skip) {
    ASSERT_LT(skip, 64u);
    host::Adapter& a = AddAdapter(chip);
    const Resources before = Stable();
    win32::FailHeapAllocations(nullptr, skip, 1);
    bool opened = a.Open();
    win32::ClearFaults();
    if (opened) {
      a.Close();
      break;
    }
    EXPECT_EQ(Settled(before), before) << "allocation " << skip;
  }
  {
    host::Adapter& a = AddAdapter(chip);
    const Resources before = Stable();
    win32::FailCalls(win32::Fault::kHeapCreate, 0, 1);
    EXPECT_FALSE(a.Open());
    EXPECT_EQ(Settled(before), before);
  }
}

TEST_F(DisplayTest, TwoAdaptersOpenAtOnceStayApart) {
  chip::Chip& left = AddChip(MakeProfile({2, 64, true}));
  chip::Chip& right = AddChip(MakeProfile({1, 64, false}));
  host::Adapter& a = AddAdapter(left);
  host::Adapter& b = AddAdapter(right, host::kVersion14);
  ASSERT_TRUE(a.Open());
  ASSERT_TRUE(b.Open());
  EXPECT_EQ(a.handle()->Host.WdfFunctions, a.wdf().WdfFunctions());
  EXPECT_EQ(a.handle()->Host.WdfDriverGlobals, a.wdf().WdfDriverGlobals());
  EXPECT_EQ(b.handle()->Host.WdfDriverGlobals, b.wdf().WdfDriverGlobals());
  EXPECT_NE(a.handle()->hMyHeap, b.handle()->hMyHeap);

  // Calls on the first adapter reach only its own chip, after the second was opened.
  const size_t right_before = right.log().Snapshot().size();
  EXPECT_EQ(a.PowerEvent(kPowerEventStop), STATUS_SUCCESS);
  EXPECT_EQ(a.PowerEvent(kPowerEventRestart), STATUS_SUCCESS);
  EXPECT_EQ(left.StartDisplayCount(), 2u);
  EXPECT_EQ(right.StartDisplayCount(), 1u);
  EXPECT_EQ(right.log().Snapshot().size(), right_before);

  // Closing the second leaves the first working.
  EXPECT_EQ(b.Close(), STATUS_SUCCESS);
  EXPECT_EQ(b.wdf().LiveObjectCount(), 0u);
  EXPECT_EQ(a.Start(), STATUS_SUCCESS);
  EXPECT_EQ(a.HeldDisplays(), 2u);
  EXPECT_EQ(a.Close(), STATUS_SUCCESS);
  EXPECT_EQ(a.wdf().LiveObjectCount(), 0u);
}

TEST_F(DisplayTest, PublishesTheProductStringWithItsTerminator) {
  struct Case {
    std::u16string product;
    bool has_product;
    size_t published_chars;  // 0: nothing published
  } cases[] = {
      {u"Vorn Station", true, 13},
      {std::u16string(64, u'x'), true, 65},
      {std::u16string(63, u'y'), true, 64},
      {u"", true, 0},
      {u"Hidden", false, 0},
      {std::u16string(65, u'z'), true, 0},  // longer than the plug-in asks for
  };
  for (const Case& c : cases) {
    chip::ChipProfile p = MakeProfile({1, 64, true});
    p.product = c.product;
    p.has_product_string = c.has_product;
    host::Adapter& a = Opened(p);
    auto name = a.wdf().Property(DEVPKEY_Device_FriendlyName);
    auto desc = a.wdf().Property(DEVPKEY_Device_DeviceDesc);
    if (c.published_chars == 0) {
      EXPECT_FALSE(name.has_value()) << c.product.size();
      EXPECT_FALSE(desc.has_value());
      continue;
    }
    ASSERT_TRUE(name.has_value());
    ASSERT_TRUE(desc.has_value());
    EXPECT_EQ(name->type, DEVPROP_TYPE_STRING);
    EXPECT_EQ(name->data.size(), c.published_chars * 2);
    EXPECT_EQ(name->data[name->data.size() - 1], 0);
    EXPECT_EQ(name->data[name->data.size() - 2], 0);
    EXPECT_EQ(name->AsString(), c.product);
    EXPECT_EQ(desc->data, name->data);
  }
}

}  // namespace
}  // namespace vorn::display::testing
