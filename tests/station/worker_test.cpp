// The worker thread's steps on a started station over the chip model: the first run's
// discovery and child creation, a restart that repeats none of it, TestFunctions, the two
// driver models, the functions the chip reports absent, the jacks and their changes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/debug.h"
#include "platform/kernel/interfaces.h"
#include "protocol/guids.h"
#include "protocol/vendor_request.h"
#include "sim/chip/chip_profile.h"
#include "station/worker.h"
#include "station/bus/child_pdos.h"
#include "tests/station/child_module.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {
namespace {

using chip::Chip;

class WorkerTest : public StationMachineTest {
 protected:
  void SetUp() override {
    StationMachineTest::SetUp();
    kernel::debug::Clear();
  }
  // A chip with the display (0) and audio (3) functions, both jacks able to report.
  void MakeChip(ULONG cmd_version = 8) {
    chip::ChipProfile p = chip::MakeProfile({});
    p.device_values[chip::kDeviceValueCmdVersion] = cmd_version;
    chip_ = std::make_unique<Chip>(std::move(p));
    chip_->functions().SetFunction(0, 0x1D5C, 0x2000, u"Display");
    chip_->functions().SetFunction(3, 0x1D5C, 0x3000, u"Audio");
    chip_->functions().SetJack(0, true, true, 1);
    chip_->functions().SetJack(1, true, true, 0);
  }
  StationExtension* Start() {
    if (!chip_) MakeChip();
    Boot();
    InstallTestModule();
    node_ = Attach(*chip_);
    StationExtension* s = node_ ? Ext(node_) : nullptr;
    EXPECT_NE(s, nullptr);
    EXPECT_TRUE(WaitFor([] { return !kernel::interfaces::Enabled(
                                         protocol::kMainControlInterfaceGuid).empty(); }));
    EXPECT_TRUE(WaitFor([&] { return Thd().size() && Thd().back() == kThdServing; }));
    return s;
  }
  void TearDown() override {
    bus_.reset();
    StationMachineTest::TearDown();
  }
  static std::vector<ULONG> Thd() { return Steps(0x80, u"ThdState"); }
  static void SetByte(const char16_t* name, UCHAR v) {
    kernel::registry::SetValue(ParametersPath(), name, REG_BINARY, &v, 1);
  }
  static void SetDword(const char16_t* name, ULONG v) {
    kernel::registry::SetValue(ParametersPath(), name, REG_DWORD, &v, 4);
  }
  size_t Asked(UCHAR request) { return chip_->log().CountVendor(request); }
  static void PostEnumerate(StationExtension* s) {
    WriteFlag(s->EnumerateRequest, 1);
    KeSetEvent(&s->WorkerKickEvent, 0, FALSE);
  }

  std::unique_ptr<Chip> chip_;
  kernel::pnp::DevNode* node_ = nullptr;
};

TEST_F(WorkerTest, TheFirstRunDiscoversAndARestartRepeatsNoneOfIt) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Thd(), (std::vector<ULONG>{0, 1, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(Steps(0x80, u"ThdError"), std::vector<ULONG>{});
  EXPECT_EQ(s->WorkerInitialised, 1);
  EXPECT_EQ(std::u16string(s->FirmwareKeyPath), u"Parameters\\Firmware\\VS3000");
  EXPECT_EQ(s->DeviceRomAutoUpdateFlags, 7);
  // The ROM replies were armed (1) and the automatic update ran once (3), with no path set.
  EXPECT_EQ(Steps(0x80, u"RomState"), (std::vector<ULONG>{1, 3}));
  EXPECT_TRUE(WaitFor([] { return Module().creates == 2; }))
      << "display and audio children; the microphone's jack is empty";
  EXPECT_EQ(s->ActiveFunctionCount, 3u) << "display, audio and the microphone";
  EXPECT_EQ(s->ChildFunctions[0].ProductId, 0x2000);
  EXPECT_EQ(s->ChildFunctions[8].ProductId, 0x3001) << "the microphone made from audio";
  EXPECT_EQ(s->Jacks[0].Exists, 1);
  EXPECT_EQ(s->Jacks[1].Exists, 1);
  EXPECT_EQ(s->JackState, 1);

  size_t reads = Asked(protocol::ReqReadFunctionInfo);
  EXPECT_EQ(reads, 2u) << "SupportPDOs 0x109: functions 0 and 3 are read, 8 is made";
  kernel::registry::ClearHistory();
  StopStationTimer(s);
  ASSERT_EQ(StartStationTimer(s), STATUS_SUCCESS);
  ASSERT_TRUE(WaitFor([] { return Thd().size() && Thd().back() == kThdServing; }));
  std::vector<ULONG> restart = Thd();
  EXPECT_EQ(restart, (std::vector<ULONG>{10, 2, 1, 3, 8, 9}));
  EXPECT_EQ(Asked(protocol::ReqReadFunctionInfo), reads);
  EXPECT_EQ(Steps(0x80, u"RomState"), std::vector<ULONG>{}) << "no update on a restart";

  // A restart still serves one enumeration request, and only one.
  PostEnumerate(s);
  ASSERT_TRUE(WaitFor([&] { return Asked(protocol::ReqReadFunctionInfo) == 2 * reads; }));
  ASSERT_TRUE(WaitFor([] { return Thd().back() == kThdCreatingChildren; }));
  PostEnumerate(s);
  ASSERT_TRUE(WaitFor([&] { return ReadFlag(s->EnumerateRequest) == 0; }));
  StopStationTimer(s);  // the worker has served the kick before it ends
  EXPECT_EQ(Asked(protocol::ReqReadFunctionInfo), 2 * reads);
  EXPECT_EQ(Module().creates, 2) << "the children made at the first run are not made twice";
}

TEST_F(WorkerTest, TestFunctionsSkipsDiscoveryAndEnablesTheMainInterface) {
  SetByte(u"TestFunctions", 1);
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Thd(), (std::vector<ULONG>{0, 1, 3, 4, 5, 8, 9}));
  EXPECT_EQ(Asked(protocol::ReqReadFunctionInfo), 0u);
  EXPECT_EQ(Module().creates, 0);
}

TEST_F(WorkerTest, DriverModelTwoDiscoversOnlyOnTheFirstEnumerationRequest) {
  SetDword(u"DriverModel", 2);
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Thd(), (std::vector<ULONG>{0, 1, 3, 4, 5, 8, 9}));
  EXPECT_EQ(Asked(protocol::ReqReadFunctionInfo), 0u);
  PostEnumerate(s);
  ASSERT_TRUE(WaitFor([] { return Module().creates == 2; }));
  EXPECT_EQ(Asked(protocol::ReqReadFunctionInfo), 2u);
  PostEnumerate(s);
  ASSERT_TRUE(WaitFor([&] { return ReadFlag(s->EnumerateRequest) == 0; }));
  StopStationTimer(s);  // the worker has served the kick before it ends
  EXPECT_EQ(Asked(protocol::ReqReadFunctionInfo), 2u);
}

TEST_F(WorkerTest, AbsentFunctionsAreClearedAndNotCounted) {
  SetDword(u"SupportPDOs", 0x17F);  // every function the chip can report, 1 and 7 never read
  MakeChip();
  std::array<uint8_t, chip::kFunctionDescriptorBytes> ffff{};
  ffff[0] = ffff[1] = 0xFF;
  ffff[2] = 0x34;
  chip_->functions().SetFunctionBytes(2, ffff);                  // vendor 0xFFFF
  chip_->functions().SetFunction(4, 0, 0x1234, u"NoVendor");     // vendor 0
  chip_->functions().SetFunction(5, 0x1D5C, 0, u"NoProduct");    // valid vendor, product 0
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  for (ULONG i : {2u, 4u}) {
    EXPECT_EQ(s->ChildFunctions[i].VendorId, 0) << i;
    EXPECT_EQ(s->ChildFunctions[i].ProductId, 0) << i;
  }
  EXPECT_EQ(s->ChildFunctions[5].VendorId, 0x1D5C);
  EXPECT_EQ(s->ActiveFunctionCount, 3u) << "display, audio, microphone; 5 has no product id";
  EXPECT_EQ(Asked(protocol::ReqReadFunctionInfo), 6u) << "0, 2, 3, 4, 5 and 6";
}

TEST_F(WorkerTest, AFailedDescriptorReadEndsDiscoveryAndTheWorkerGoesOn) {
  MakeChip();
  chip_->script().OnRequest(protocol::ReqReadFunctionInfo, chip::ScriptAction{chip::ScriptKind::kStall});
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Steps(0x80, u"ThdError"), std::vector<ULONG>{6});
  EXPECT_EQ(Asked(protocol::ReqReadFunctionInfo), 1u);
  EXPECT_EQ(Asked(protocol::ReqReadJackInfo), 0u);
  EXPECT_EQ(s->ActiveFunctionCount, 0u);
  EXPECT_EQ(Module().creates, 0) << "no function was read, so no child is made";
}

struct JackCase {
  const char* name;
  ULONG cmd_version;
  bool jack0, jack1;
  UCHAR mic_only;
  USHORT mic_product;  // descriptor 8
  USHORT audio_product;
};
void PrintTo(const JackCase& c, std::ostream* os) { *os << c.name; }

class JackDiscoveryTest : public WorkerTest, public ::testing::WithParamInterface<JackCase> {};

TEST_P(JackDiscoveryTest, JacksDecideAudioAndMicrophone) {
  const JackCase& c = GetParam();
  MakeChip(c.cmd_version);
  chip_->functions().SetJack(0, c.jack0, true, 1);
  chip_->functions().SetJack(1, c.jack1, true, 1);
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  const bool asked = c.cmd_version >= 2;  // an older chip has no audio: no jack is asked
  EXPECT_EQ(Asked(protocol::ReqReadJackInfo), asked ? 2u : 0u);
  EXPECT_EQ(s->Jacks[0].Exists, asked && c.jack0);
  EXPECT_EQ(s->Jacks[1].Exists, asked && c.jack1);
  EXPECT_EQ(s->MicOnly, c.mic_only);
  EXPECT_EQ(s->ChildFunctions[8].ProductId, c.mic_product);
  EXPECT_EQ(s->ChildFunctions[3].ProductId, c.audio_product);
}

INSTANTIATE_TEST_SUITE_P(
    Jacks, JackDiscoveryTest,
    ::testing::Values(JackCase{"both", 8, true, true, 0, 0x3001, 0x3000},
                      JackCase{"headphone_only", 8, true, false, 0, 0, 0x3000},
                      JackCase{"microphone_only", 8, false, true, 1, 0, 0x3000},
                      JackCase{"old_command_set", 1, true, true, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WorkerTest, AJackChangeWhileTheWorkerRunsMakesTheAudioChild) {
  MakeChip();
  chip_->functions().SetJack(0, true, true, 0);  // nothing plugged in at the start
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->Jacks[0].DetectionOn, 1);
  ASSERT_TRUE(WaitFor([] { return Module().creates == 1; })) << "the display child alone";
  EXPECT_FALSE(ChildExists(s, 3));
  chip_->SetJackState(1);  // the status word tells the station
  ASSERT_TRUE(WaitFor([&] { return ChildExists(s, 3); }));
  EXPECT_EQ(Module().creates, 2);
  EXPECT_EQ(s->Jacks[0].State[1], 1);
}

TEST_F(WorkerTest, AStopEndsTheWorkerInEachOfItsWaits) {
  StationExtension* s = Start();
  ASSERT_NE(s, nullptr);
  // Serving: the loop's wait.
  kernel::registry::ClearHistory();
  StopStationTimer(s);
  EXPECT_EQ(Thd(), (std::vector<ULONG>{10, 2}));
  // The pause after the ROM update: a stop set before the wait ends it at once.
  KeClearEvent(&s->WorkerStopEvent);
  KeSetEvent(&s->WorkerStopEvent, 0, FALSE);
  EXPECT_EQ(WaitStop(s, 10), STATUS_WAIT_0);
  EXPECT_EQ(WaitStopOrEvent(s, &s->WorkerKickEvent, 0), STATUS_WAIT_0);
  KeClearEvent(&s->WorkerStopEvent);
  EXPECT_EQ(WaitStop(s, 1), STATUS_TIMEOUT);
  ASSERT_EQ(StartStationTimer(s), STATUS_SUCCESS);
}

}  // namespace
}  // namespace vorn::station::testing
