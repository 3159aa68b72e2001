// The automatic ROM update on the worker's first run, end to end over the chip model's ROM:
// image, two-part and boot updates, the RomState/RomError steps of every way a file can be
// wrong, and the flags that choose what is written.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"
#include "tests/station/rom_fixture.h"

namespace vorn::station::testing {
namespace {

using fwimage::Break;

// The steps of a sound image update that ends with the chip reset.
const std::vector<ULONG> kImageSteps = {1, 3, 5, 6, 7, 9, 10, 11, 12, 13, 14, 19, 20, 15, 18, 24, 23};

class RomUpdateTest : public RomMachineTest {
 protected:
  std::vector<uint8_t> Image(ULONG version = kChipImageCode + 1) {
    fwimage::ImageOptions o;
    o.version = version;
    o.data_size = 0x8000;
    return fwimage::BuildImage(o);
  }
  void ExpectWrittenAndReset(const std::vector<uint8_t>& image, size_t blocks = 1,
                             bool two_part = false) {
    std::vector<ULONG> steps(kImageSteps.begin(), kImageSteps.end() - 4);
    // The two-part image is checked whole again once it has been put together.
    if (two_part) steps.insert(steps.begin() + 9, 10);
    for (size_t i = 0; i < blocks; ++i) steps.insert(steps.end(), {15, 18});
    steps.insert(steps.end(), {24, 23});
    EXPECT_EQ(RomStates(), steps);
    EXPECT_EQ(RomErrors(), std::vector<ULONG>{0});
    EXPECT_EQ(Chip().rom().Contents(chip::kRomTargetImage), image);
    EXPECT_EQ(Chip().rom().Resets(), 1u);
    EXPECT_EQ(Thd().back(), kThdEnding) << "the worker ends after the reset";
    EXPECT_FALSE(InterfaceEnabled());
    EXPECT_EQ(Chip().violations().Messages(), std::vector<std::string>{});
  }
};

TEST_F(RomUpdateTest, AnImageIsWrittenInBlocksAndTheChipReset) {
  struct Case {
    ULONG max_block;
    std::vector<ULONG> offsets;
  };
  const std::vector<uint8_t> image = Image();
  ASSERT_EQ(image.size(), 0x20000u);
  WriteFile("C/fw/image.bin", image);
  SetPath(u"ImagePath", u"C:\\fw\\image.bin");
  // One station per case, each a fresh machine: the largest block first.
  const Case cases[] = {{0, {0}}, {0x10000, {0, 0x10000}}, {0x18000, {0, 0x18000}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.max_block);
    kernel::registry::ClearHistory();
    SetDword(u"RomMaxBlockSize", c.max_block);
    StationExtension* s = Start();
    ASSERT_NE(s, nullptr);
    ExpectWrittenAndReset(image, c.offsets.size());
    std::vector<chip::RomBlock> blocks = Chip().rom().Blocks();
    ASSERT_EQ(blocks.size(), c.offsets.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_EQ(blocks[i].offset, c.offsets[i]);
      EXPECT_EQ(blocks[i].target, chip::kRomTargetImage);
      EXPECT_EQ(blocks[i].kind, 2);
      EXPECT_EQ(blocks[i].tag, 0x0501 + i) << "the write counter starts at 1 after AddDevice";
    }
    // The burn result of the last block, as the chip reported it.
    std::vector<uint8_t> result = RomResultValue();
    ASSERT_EQ(result.size(), 16u);
    EXPECT_EQ(result[0], 0);
    EXPECT_EQ(result[1], 0);
    EXPECT_EQ(protocol::LoadLe32(&result[4]), kChipImageCode + 1);
    EXPECT_EQ(protocol::LoadLe32(&result[8]), 0x20000 - c.offsets.back());
    EXPECT_EQ(protocol::LoadLe32(&result[12]), 0x20000u);
    EXPECT_TRUE(kernel::interfaces::Enabled(protocol::kRomInterfaceGuid).empty())
        << "the ROM interface is on only while the image is written";
    Shutdown();
  }
}

TEST_F(RomUpdateTest, ATwoPartImageIsPutTogetherFromItsFiles) {
  const std::vector<uint8_t> image = Image();
  fwimage::TwoPartFiles files = fwimage::SplitImage(image);
  ASSERT_EQ(files.data_file.size(), 0x10000u);
  ASSERT_EQ(files.code_file.size(), 0x8000u);
  WriteFile("C/fw/data.bin", files.data_file);
  WriteFile("C/fw/code.bin", files.code_file);
  SetPath(u"ImageDataPath", u"C:\\fw\\data.bin");
  SetPath(u"ImageCodePath", u"C:\\fw\\code.bin");
  SetPath(u"ImagePath", u"C:\\fw\\missing.bin");  // the pair comes first
  ASSERT_NE(Start(), nullptr);
  ExpectWrittenAndReset(image, 1, true);
}

TEST_F(RomUpdateTest, AnImageFromSystemRootWithoutResetLetsTheWorkerGoOn) {
  const std::vector<uint8_t> image = Image();
  WriteFile("SystemRoot/fw/image.bin", image);
  SetPath(u"ImagePath", u"%SystemRoot%\\fw\\image.bin");
  SetProjectFlags(0x02);  // the image only, no reset
  ASSERT_NE(Start(), nullptr);
  ASSERT_TRUE(WaitFor([] { return InterfaceEnabled(); }));
  EXPECT_EQ(Chip().rom().Contents(chip::kRomTargetImage), image);
  EXPECT_EQ(Chip().rom().Resets(), 0u);
  EXPECT_EQ(RomStates().back(), 24u);
}

// Every way an image file can be refused, and where the update stops.
struct MatrixCase {
  const char* name;
  std::vector<uint8_t> (*make)();
  const char16_t* path;  // ImagePath
  ULONG last_state;
  ULONG error;  // 0: stopped without an error
  UCHAR forced = 0;
};
void PrintTo(const MatrixCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> SoundImage(ULONG version) {
  fwimage::ImageOptions o;
  o.version = version;
  return fwimage::BuildImage(o);
}

const MatrixCase kMatrix[] = {
    {"Missing", [] { return std::vector<uint8_t>{}; }, u"C:\\fw\\none.bin", 5, 5},
    {"Short", [] { return std::vector<uint8_t>(255, 1); }, u"C:\\fw\\image.bin", 6, 6},
    {"PercentPathShorterThanItsPrefix", [] { return SoundImage(kChipImageCode + 1); }, u"%fw", 5, 5},
    {"SameVersion", [] { return SoundImage(kChipImageCode); }, u"C:\\fw\\image.bin", 9, 0},
    {"OlderVersion", [] { return SoundImage(kChipImageCode - 1); }, u"C:\\fw\\image.bin", 9, 0},
    {"SameVersionForced", [] { return SoundImage(kChipImageCode); }, u"C:\\fw\\image.bin", 23, 0, 1},
    {"Project", [] { return fwimage::BreakImage(SoundImage(kChipImageCode + 1), Break::kProject); },
     u"C:\\fw\\image.bin", 7, 8},
    {"ImageSizeBeyondFile",
     [] { return fwimage::BreakImage(SoundImage(kChipImageCode + 1), Break::kImageSizeBeyond); },
     u"C:\\fw\\image.bin", 10, 10},
    {"Magic", [] { return fwimage::BreakImage(SoundImage(kChipImageCode + 1), Break::kMagic); },
     u"C:\\fw\\image.bin", 10, 10},
    {"EndMark", [] { return fwimage::BreakImage(SoundImage(kChipImageCode + 1), Break::kEndMark); },
     u"C:\\fw\\image.bin", 13, 13},
    {"Checksum", [] { return fwimage::BreakImage(SoundImage(kChipImageCode + 1), Break::kChecksum); },
     u"C:\\fw\\image.bin", 13, 13},
    {"ConfigBeyond",
     [] { return fwimage::BreakImage(SoundImage(kChipImageCode + 1), Break::kConfigBeyond); },
     u"C:\\fw\\image.bin", 14, 14},
    {"SectionBeyond",
     [] { return fwimage::BreakImage(SoundImage(kChipImageCode + 1), Break::kSectionBeyond); },
     u"C:\\fw\\image.bin", 14, 14},
};

class RomMatrixTest : public RomMachineTest, public ::testing::WithParamInterface<MatrixCase> {};

TEST_P(RomMatrixTest, StopsAtItsStepWithItsError) {
  const MatrixCase& c = GetParam();
  std::vector<uint8_t> file = c.make();
  if (!file.empty()) {
    WriteFile("C/fw/image.bin", file);
    WriteFile("SystemRoot/fw/image.bin", file);
  }
  SetPath(u"ImagePath", c.path);
  if (c.forced) SetByte(u"ForcedUpdateFW", 1);
  ASSERT_NE(Start(), nullptr);
  std::vector<ULONG> states = RomStates();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), c.last_state);
  std::vector<ULONG> errors = RomErrors();
  if (c.error) {
    EXPECT_EQ(errors, (std::vector<ULONG>{0, c.error}));
    EXPECT_TRUE(Chip().rom().Blocks().empty());
  } else {
    EXPECT_EQ(errors, std::vector<ULONG>{0});
  }
  const bool written = c.last_state == 23;
  EXPECT_EQ(Chip().rom().Contents(chip::kRomTargetImage).size(), written ? file.size() : 0u);
  // A refused image leaves the worker to go on normally.
  if (!written) {
    EXPECT_TRUE(WaitFor([] { return InterfaceEnabled(); }));
  }
}

INSTANTIATE_TEST_SUITE_P(Files, RomMatrixTest, ::testing::ValuesIn(kMatrix),
                         [](const auto& info) { return std::string(info.param.name); });

// The boot code: written when its BOOT block names another version than the chip runs.
struct BootCase {
  const char* name;
  ULONG size;
  int block;
  ULONG version;
  UCHAR forced;
  const char16_t* path;
  ULONG last_state;
  ULONG error;
  bool written;
};
void PrintTo(const BootCase& c, std::ostream* os) { *os << c.name; }

const BootCase kBootCases[] = {
    {"NewVersion", 0x30000, 1, kChipBootCode + 1, 0, u"C:\\fw\\boot.bin", 24, 0, true},
    {"SameVersionIsSkipped", 0x30000, 0, kChipBootCode, 0, u"C:\\fw\\boot.bin", 9, 0, false},
    {"SameVersionForced", 0x30000, 0, kChipBootCode, 1, u"C:\\fw\\boot.bin", 24, 0, true},
    {"NoBootBlock", 0x30000, -1, 0, 0, u"C:\\fw\\boot.bin", 13, 13, false},
    {"TooSmall", 0x20000, 0, kChipBootCode + 1, 0, u"C:\\fw\\boot.bin", 6, 6, false},
    {"NotWholeBlocks", 0x30400, 0, kChipBootCode + 1, 0, u"C:\\fw\\boot.bin", 6, 6, false},
    {"PercentPathIsADosPath", 0x30000, 0, kChipBootCode + 1, 0, u"%SystemRoot%\\fw\\boot.bin", 5, 5,
     false},
};

class RomBootTest : public RomMachineTest, public ::testing::WithParamInterface<BootCase> {};

TEST_P(RomBootTest, WritesTheBootCodeOnlyWhenItChanges) {
  const BootCase& c = GetParam();
  fwimage::BootOptions o;
  o.size = c.size;
  o.boot_block = c.block;
  o.version = c.version;
  const std::vector<uint8_t> boot = fwimage::BuildBoot(o);
  WriteFile("C/fw/boot.bin", boot);
  WriteFile("SystemRoot/fw/boot.bin", boot);
  SetPath(u"BootPath", c.path);
  SetProjectFlags(0x01);
  if (c.forced) SetByte(u"ForcedUpdateFW", 1);
  ASSERT_NE(Start(), nullptr);
  EXPECT_EQ(RomStates().back(), c.last_state);
  EXPECT_EQ(RomErrors(), (c.error ? std::vector<ULONG>{0, c.error} : std::vector<ULONG>{0}));
  if (c.written) {
    EXPECT_EQ(Chip().rom().Contents(chip::kRomTargetBoot), boot);
    std::vector<chip::RomBlock> blocks = Chip().rom().Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].target, chip::kRomTargetBoot);
    std::vector<uint8_t> result = RomResultValue();
    ASSERT_EQ(result.size(), 16u);
    EXPECT_EQ(result[1], chip::kRomTargetBoot);
    EXPECT_EQ(protocol::LoadLe32(&result[4]), c.version);
    EXPECT_EQ(Chip().rom().Resets(), 0u) << "a boot update sends no reset";
    EXPECT_EQ(Thd().back(), kThdEnding) << "the worker ends after writing the boot code";
    EXPECT_FALSE(InterfaceEnabled());
  } else {
    EXPECT_TRUE(Chip().rom().Blocks().empty());
    EXPECT_TRUE(WaitFor([] { return InterfaceEnabled(); }));
  }
}

INSTANTIATE_TEST_SUITE_P(Files, RomBootTest, ::testing::ValuesIn(kBootCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RomUpdateTest, AnImageTheChipDoesNotTakeIsNotRead) {
  struct Case {
    const char* name;
    ULONG image_code;
    USHORT function_vendor;
  };
  for (const Case& c : {Case{"OldFirmware", 0x16070000, 0x3A5C}, Case{"OtherVendor", kChipImageCode, 0x1D5C}}) {
    SCOPED_TRACE(c.name);
    kernel::registry::ClearHistory();
    chip::ChipProfile p = chip::MakeProfile({});
    p.device_values[chip::kDeviceValueImageCode] = c.image_code;
    p.device_values[chip::kDeviceValueCmdVersion] = 8;
    chip_ = std::make_unique<chip::Chip>(std::move(p));
    chip_->UseStationBulkOut(true);
    chip_->functions().SetFunction(0, c.function_vendor, 0x2000, u"Display");
    WriteFile("C/fw/image.bin", Image());
    SetPath(u"ImagePath", u"C:\\fw\\image.bin");
    ASSERT_NE(Start(), nullptr);
    EXPECT_EQ(RomStates(), (std::vector<ULONG>{1, 3}));
    EXPECT_TRUE(WaitFor([] { return InterfaceEnabled(); }));
    Shutdown();
  }
}

// The update's requests that wait for the chip without limit: a removal while the chip holds
// one ends it, so the worker stops and the removal completes.
TEST_F(RomUpdateTest, ARemovalEndsAnUpdateRequestTheChipNeverAnswers) {
  struct Case {
    const char* name;
    UCHAR request;
    std::vector<ULONG> states;
    std::vector<ULONG> errors;
  };
  const std::vector<uint8_t> image = Image();
  const Case cases[] = {
      {"ImageAllowedRead", protocol::ReqReadFunctionInfo, {1, 3}, {0}},
      {"ChipReset", protocol::ReqResetChip, kImageSteps, {0, 23}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kernel::registry::ClearHistory();
    WriteFile("C/fw/image.bin", image);
    SetPath(u"ImagePath", u"C:\\fw\\image.bin");
    // Every attempt of the request is held: the removal must cancel each one.
    Chip().script().OnRequest(c.request, chip::ScriptAction{chip::ScriptKind::kTimeOut,
                                                            chip::ScriptAction::kForever});
    Boot();
    node_ = Attach(Chip());
    StationExtension* s = node_ ? Ext(node_) : nullptr;
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(WaitFor([&] { return Chip().HeldTransfers() == 1; }));
    std::atomic<bool> removed{false};
    std::thread remover([&] {
      EXPECT_EQ(kernel::pnp::Remove(node_), STATUS_SUCCESS);
      removed = true;
    });
    const bool ended = WaitFor([&] { return removed.load(); });
    // A removal that waits for the chip for ever is let go, so the test fails cleanly.
    if (!ended) KeSetEvent(&s->AbortEvent, 0, FALSE);
    remover.join();
    EXPECT_TRUE(ended) << "the removal waited for the chip's answer";
    EXPECT_EQ(Chip().HeldTransfers(), 0u);
    std::vector<ULONG> states = c.states;
    states.push_back(2);  // the station's cleanup
    EXPECT_EQ(RomStates(), states);
    EXPECT_EQ(RomErrors(), c.errors);
    EXPECT_EQ(Thd().back(), kThdStopped);
    EXPECT_EQ(kernel::RunningSystemThreads(), 0);
    Shutdown();
  }
}

}  // namespace
}  // namespace vorn::station::testing
