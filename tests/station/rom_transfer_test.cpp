// The ROM write and read-back on a started station over the chip model: each block's two
// waits (transfer, burn result) and how each ends, the block taken back from the bulk-OUT
// pipe before the write returns, the ROM read and its refusals, and a station removed while
// the chip burns.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"
#include "station/driver_globals.h"
#include "tests/station/rom_fixture.h"

namespace vorn::station::testing {
namespace {

constexpr ULONG kBlock = 0x10000;

class RomTransferTest : public RomMachineTest {
 protected:
  std::vector<uint8_t> Data(ULONG size, uint8_t seed = 1) {
    std::vector<uint8_t> d(size);
    for (ULONG i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(i * 31 + seed);
    return d;
  }
  NTSTATUS Write(StationExtension* s, const std::vector<uint8_t>& data, UCHAR target = 0) {
    return RomWriteImage(s, target, FALSE, 0x1234, data.data(), static_cast<ULONG>(data.size()));
  }
  static std::vector<uint8_t> RomResultNow(StationExtension* s) {
    std::vector<uint8_t> r(16);
    EXPECT_EQ(GetRomResult(s, r.data()), STATUS_SUCCESS);
    return r;
  }
  // The RomResult writes to the registry since the history was cleared.
  static size_t RomResultWrites() {
    size_t n = 0;
    for (const auto& w : kernel::registry::History())
      if (w.kind == kernel::registry::Write::kSetValue && EqualNoCase(w.name, u"RomResult")) ++n;
    return n;
  }
};

TEST_F(RomTransferTest, TheBurnResultEndsTheWrite) {
  struct Case {
    const char* name;
    chip::BurnOutcome outcome;
    uint32_t progress_reports;
    ULONG burn_timeout;  // ms per MiB
    NTSTATUS status;
    std::vector<ULONG> errors;
    UCHAR result_status;
    size_t result_writes;
  };
  const Case cases[] = {
      {"Success", chip::BurnOutcome::kSuccess, 0, 240000, STATUS_SUCCESS, {}, 0, 1},
      {"ProgressThenSuccess", chip::BurnOutcome::kSuccess, 3, 240000, STATUS_SUCCESS, {}, 0, 1},
      {"Failure", chip::BurnOutcome::kFailure, 0, 240000, STATUS_UNSUCCESSFUL, {22}, 0x80, 1},
      // 64 KiB at 1600 ms per MiB: the result is waited for 100 ms.
      {"NoResult", chip::BurnOutcome::kNoResult, 0, 1600, STATUS_UNSUCCESSFUL, {21}, 0x11, 0},
      // No burn wait at all: done once the block is across, RomResult not written.
      {"NoBurnWait", chip::BurnOutcome::kNoResult, 0, 0, STATUS_SUCCESS, {}, 0x11, 0},
  };
  StationExtension* s = StartQuiet();
  ASSERT_NE(s, nullptr);
  const std::vector<uint8_t> data = Data(kBlock);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kernel::registry::ClearHistory();
    Chip().rom().SetBurnOutcome(c.outcome);
    Chip().rom().SetProgressReports(c.progress_reports);
    g_StationGlobals->RomBurnTimeout = c.burn_timeout;
    EXPECT_EQ(Write(s, data), c.status);
    EXPECT_EQ(RomErrors(), c.errors);
    std::vector<ULONG> states = {19, 20, 15, 18};
    if (NT_SUCCESS(c.status)) states.push_back(24);
    EXPECT_EQ(RomStates(), states);
    std::vector<uint8_t> result = RomResultNow(s);
    EXPECT_EQ(result[0], c.result_status);
    EXPECT_EQ(protocol::LoadLe32(&result[4]), 0x1234u);
    EXPECT_EQ(protocol::LoadLe32(&result[8]), kBlock);
    EXPECT_EQ(RomResultWrites(), c.result_writes);
    EXPECT_EQ(ReadFlag(s->RomTransferOpen), 0);
    EXPECT_TRUE(kernel::interfaces::Enabled(protocol::kRomInterfaceGuid).empty());
  }
  Chip().rom().SetBurnOutcome(chip::BurnOutcome::kSuccess);
  EXPECT_EQ(Chip().violations().Messages(), std::vector<std::string>{});
}

// A block the chip never takes: the transfer wait ends, and the write returns only once the
// pipe has given the block back (no transfer of it is left with the chip).
TEST_F(RomTransferTest, ATransferTimeOutTakesTheBlockBackBeforeReturning) {
  StationExtension* s = StartQuiet();
  ASSERT_NE(s, nullptr);
  g_StationGlobals->RomXferTimeout = 2500;  // 156 ms for the block
  Chip().script().OnEndpoint(chip::kEndpointBulkOut, {chip::ScriptKind::kTimeOut});
  kernel::registry::ClearHistory();
  std::vector<uint8_t> data = Data(kBlock);
  EXPECT_EQ(Write(s, data), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Chip().HeldTransfers(), 0u) << "the block is still on the wire";
  EXPECT_EQ(ReadFlag(s->RomTransferOpen), 0);
  EXPECT_EQ(RomErrors(), std::vector<ULONG>{16});
  EXPECT_EQ(RomResultNow(s)[0], 0x91) << "the transfer ended cancelled";
  // The buffer may go now; the pipe never reads it again, and the next write goes through.
  std::fill(data.begin(), data.end(), 0xEE);
  data.clear();
  data.shrink_to_fit();
  const std::vector<uint8_t> next = Data(kBlock, 7);
  EXPECT_EQ(Write(s, next), STATUS_SUCCESS);
  EXPECT_EQ(Chip().rom().Contents(chip::kRomTargetImage), next);
}

// Without a transfer time-out the write waits as long as the block is on the wire; a stop of
// the worker ends the wait, but only once the block is back.
TEST_F(RomTransferTest, WithoutATransferTimeOutTheWriteWaitsForTheBlock) {
  StationExtension* s = StartQuiet();
  ASSERT_NE(s, nullptr);
  g_StationGlobals->RomXferTimeout = 0;
  Chip().script().OnEndpoint(chip::kEndpointBulkOut, {chip::ScriptKind::kTimeOut});
  const std::vector<uint8_t> data = Data(kBlock);
  std::atomic<bool> returned{false};
  auto write = std::async(std::launch::async, [&] {
    NTSTATUS status = Write(s, data);
    returned = true;
    return status;
  });
  ASSERT_TRUE(WaitFor([&] { return Chip().HeldTransfers() == 1; }));
  EXPECT_FALSE(returned) << "the write returned while the chip held its block";
  StopStationTimer(s);  // the worker's stop
  EXPECT_EQ(write.get(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Chip().HeldTransfers(), 0u);
  EXPECT_EQ(ReadFlag(s->RomTransferOpen), 0);
  EXPECT_EQ(RomResultNow(s)[0], 0x91);
}

TEST_F(RomTransferTest, NothingToWriteFails) {
  StationExtension* s = StartQuiet();
  ASSERT_NE(s, nullptr);
  const UCHAR byte = 1;
  EXPECT_EQ(RomWriteImage(s, 0, FALSE, 1, nullptr, 16), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RomWriteImage(s, 0, FALSE, 1, &byte, 0), STATUS_INVALID_PARAMETER);
  auto bare = std::make_unique<StationExtension>();  // no pipes at all
  EXPECT_EQ(RomWriteImage(bare.get(), 0, FALSE, 1, &byte, 1), STATUS_DEVICE_NOT_READY);
  EXPECT_TRUE(Chip().rom().Blocks().empty());
}

TEST_F(RomTransferTest, ReadsTheRomBackAndRefusesWhatItCannotRead) {
  StationExtension* s = StartQuiet();
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->RomSize, 8u << 20);
  const std::vector<uint8_t> content = Data(0x30000, 3);
  Chip().rom().SetContents(chip::kRomTargetImage, content);
  g_StationGlobals->RomXferTimeout = 240000;  // a generous wait for the replies

  struct Case {
    const char* name;
    ULONG offset, size;
    NTSTATUS status;
    bool asks_chip;
  };
  const Case cases[] = {
      {"Whole", 0, 0x20000, STATUS_SUCCESS, true},
      {"AtAnOffset", 0x10000, 0x20000, STATUS_SUCCESS, true},
      {"BeyondTheRom", (8u << 20) - kBlock, 2 * kBlock, STATUS_INVALID_PARAMETER, false},
      {"Empty", 0, 0, STATUS_INVALID_PARAMETER, false},
      {"PartOfABlock", 0, 0x8000, STATUS_INVALID_PARAMETER, false},
      {"OffsetInsideABlock", 0x8000, kBlock, STATUS_INVALID_PARAMETER, false},
  };
  USHORT sequence = 40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out(c.size + 16, 0x11);
    const size_t asked = Chip().log().CountVendor(protocol::ReqReadRom);
    ULONG bytes = 99;
    EXPECT_EQ(RomRead(s, out.data(), c.offset, c.size, ++sequence, &bytes), c.status);
    EXPECT_EQ(Chip().log().CountVendor(protocol::ReqReadRom) - asked, c.asks_chip ? 1u : 0u);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(bytes, c.size);
      std::vector<uint8_t> expected(content.begin() + c.offset, content.end());
      expected.resize(c.size, chip::kRomErasedByte);
      EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + c.size), expected);
      EXPECT_EQ(out[c.size], 0x11) << "nothing written past the size";
    } else {
      EXPECT_EQ(bytes, 0u);
    }
    EXPECT_EQ(s->RomBuffer, nullptr);
  }
}

// A reply that is not the one asked for ends the read at once; each failure frees the buffer
// and releases the ROM mutex, so the next read goes through.
TEST_F(RomTransferTest, AFailedReadLeavesTheRomFree) {
  StationExtension* s = StartQuiet();
  ASSERT_NE(s, nullptr);
  g_StationGlobals->RomXferTimeout = 240000;
  std::vector<uint8_t> out(kBlock);
  ULONG bytes = 0;
  struct Case {
    const char* name;
    void (*arrange)(chip::Chip& chip, StationExtension* s);
    void (*undo)(chip::Chip& chip, StationExtension* s);
    NTSTATUS status;
  };
  static UCHAR busy_marker;
  const Case cases[] = {
      {"WrongSequence", [](chip::Chip& chip, StationExtension*) { chip.rom().SetReadReplies(true, 1); },
       [](chip::Chip& chip, StationExtension*) { chip.rom().SetReadReplies(true, 0); },
       STATUS_UNSUCCESSFUL},
      {"BufferInUse", [](chip::Chip&, StationExtension* s) { s->RomBuffer = &busy_marker; },
       [](chip::Chip&, StationExtension* s) { s->RomBuffer = nullptr; }, STATUS_DEVICE_BUSY},
      {"ChipRefuses",
       [](chip::Chip& chip, StationExtension*) {
         chip.script().OnRequest(protocol::ReqReadRom, {chip::ScriptKind::kStall});
       },
       [](chip::Chip&, StationExtension*) {}, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange(Chip(), s);
    NTSTATUS status = RomRead(s, out.data(), 0, kBlock, 7, &bytes);
    if (c.status == STATUS_UNSUCCESSFUL)
      EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    else
      EXPECT_EQ(status, c.status);
    EXPECT_EQ(bytes, 0u);
    c.undo(Chip(), s);
    EXPECT_EQ(s->RomBuffer, nullptr);
    EXPECT_EQ(RomRead(s, out.data(), 0, kBlock, 8, &bytes), STATUS_SUCCESS) << "the ROM stayed busy";
    EXPECT_EQ(bytes, kBlock);
  }
  // A stopped worker: the request goes out, the wait ends at once.
  StopStationTimer(s);
  const size_t asked = Chip().log().CountVendor(protocol::ReqReadRom);
  EXPECT_EQ(RomRead(s, out.data(), 0, kBlock, 9, &bytes), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Chip().log().CountVendor(protocol::ReqReadRom), asked + 1);
  EXPECT_EQ(s->RomBuffer, nullptr);
}

// The station goes while the chip burns the image of an automatic update: the update ends,
// its buffer is freed only after the pipe is done with it, and every request has completed.
TEST_F(RomTransferTest, SurpriseRemovalWhileTheChipBurns) {
  std::vector<uint8_t> image = [] {
    fwimage::ImageOptions o;
    o.version = kChipImageCode + 1;
    return fwimage::BuildImage(o);
  }();
  WriteFile("C/fw/image.bin", image);
  SetPath(u"ImagePath", u"C:\\fw\\image.bin");
  std::atomic<int> burning{0};
  Chip().rom().SetBurnOutcome(chip::BurnOutcome::kNoResult);
  Chip().rom().SetBurnHook([&](const chip::RomBlock&) { ++burning; });
  Chip();
  Boot();
  node_ = Attach(*chip_);
  ASSERT_TRUE(WaitFor([&] { return burning.load() == 1; }));
  ASSERT_TRUE(WaitFor([] { return !RomStates().empty() && RomStates().back() == 18; }))
      << "the block is across; the station waits for the burn result";
  chip_->Unplug();
  bus_->Detach(*chip_);
  kernel::pnp::WaitIdle();
  ASSERT_TRUE(WaitFor([] { return !RomStates().empty() && RomStates().back() == 2; }))
      << ::testing::PrintToString(Thd()) << ::testing::PrintToString(RomStates());
  EXPECT_EQ(RomErrors(), std::vector<ULONG>{0}) << "a stop is no error of the image";
  EXPECT_EQ(RomStates().back(), 2u) << "cleaned up";
  EXPECT_EQ(kernel::pool::Outstanding(kTagRomBuffer).blocks, 0);
  EXPECT_EQ(Chip().HeldTransfers(), 0u);
  EXPECT_EQ(kernel::irp::CheckNoneInDriver(), 0u);
}

}  // namespace
}  // namespace vorn::station::testing
