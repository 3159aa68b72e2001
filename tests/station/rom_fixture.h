// A station on the chip model with firmware files on disk, for the ROM module's tests: the
// files live under a private root of the kernel's file stand-in ("C:\fw\..." and
// "%SystemRoot%\fw\..."), the firmware key of the chip's project holds the paths, and the
// test reads the ROM steps the station recorded. The station runs at real-time speed so the
// ROM module's own time-outs never fire while the bus is merely slow.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/files.h"
#include "platform/kernel/interfaces.h"
#include "protocol/guids.h"
#include "sim/chip/chip.h"
#include "station/rom.h"
#include "station/rom_internal.h"
#include "station/worker.h"
#include "tests/station/station_machine.h"
#include "tools/fwimage/fwimage.h"

namespace vorn::station::testing {

inline constexpr char16_t kFirmwareProject[] = u"VS3000";
inline constexpr ULONG kChipImageCode = 0x16080000;
inline constexpr ULONG kChipBootCode = 0x0203;  // the chip model's boot-code version

class RomMachineTest : public StationMachineTest {
 protected:
  void SetUp() override {
    StationMachineTest::SetUp();
    namespace fs = std::filesystem;
    root_ = fs::temp_directory_path() /
            ("station-rom-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    for (char& c : root_name_ = root_.filename().string())
      if (c == '/') c = '_';
    root_ = root_.parent_path() / root_name_;
    fs::create_directories(root_ / "C" / "fw");
    fs::create_directories(root_ / "SystemRoot" / "fw");
    previous_root_ = kernel::files::Root();
    kernel::files::SetRoot(root_.string());
    // Generous waits: a 128 KiB block may take 30 s to burn, and the transfer waits without
    // limit, unless a test asks for other waits.
    SetDword(u"RomXferTimeout", 0);
    SetDword(u"RomBurnTimeout", 240000);
  }
  void TearDown() override {
    bus_.reset();
    StationMachineTest::TearDown();
    kernel::files::SetRoot(previous_root_);
    std::filesystem::remove_all(root_);
  }

  void MakeChip() {
    chip::ChipProfile p = chip::MakeProfile({});
    p.device_values[chip::kDeviceValueImageCode] = kChipImageCode;
    p.device_values[chip::kDeviceValueCmdVersion] = 8;
    chip_ = std::make_unique<chip::Chip>(std::move(p));
    chip_->UseStationBulkOut(true);
    // Function 0 names the adapter's own vendor: the chip takes images.
    chip_->functions().SetFunction(0, 0x3A5C, 0x2000, u"Display");
  }
  chip::Chip& Chip() {
    if (!chip_) MakeChip();
    return *chip_;
  }

  // Boots the driver, attaches the chip and waits for the worker to leave its first run.
  StationExtension* Start() {
    Chip();
    Boot();
    node_ = Attach(*chip_);
    StationExtension* s = node_ ? Ext(node_) : nullptr;
    EXPECT_NE(s, nullptr);
    EXPECT_TRUE(WaitFor([] {
      std::vector<ULONG> thd = Steps(0x80, u"ThdState");
      return !thd.empty() && (thd.back() == kThdServing || thd.back() == kThdEnding);
    })) << "the worker's first run never ended";
    return s;
  }
  // A started station without an automatic update.
  StationExtension* StartQuiet() {
    SetByte(u"RomAutoUpdateFlags", 0);
    StationExtension* s = Start();
    EXPECT_TRUE(WaitFor([] { return !Thd().empty() && Thd().back() == kThdServing; }));
    return s;
  }

  // Takes the station away and unloads the driver, so the next Start() begins a new machine.
  void Shutdown() {
    bus_.reset();
    kernel::pnp::WaitIdle();
    kernel::WaitWorkIdle();
    if (driver_) {
      kernel::pnp::UnregisterDriver(driver_);
      Unload();
    }
    chip_.reset();
  }

  static std::vector<ULONG> Thd() { return Steps(0x80, u"ThdState"); }
  static std::vector<ULONG> RomStates() { return Steps(0x80, u"RomState"); }
  static std::vector<ULONG> RomErrors() { return Steps(0x80, u"RomError"); }
  static bool InterfaceEnabled() {
    return !kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty();
  }
  static std::vector<uint8_t> RomResultValue() {
    kernel::registry::Value v;
    if (!kernel::registry::GetValue(StationKey(0x80), u"RomResult", &v)) return {};
    return v.data;
  }

  static void SetByte(const char16_t* name, UCHAR v) {
    kernel::registry::SetValue(ParametersPath(), name, REG_BINARY, &v, 1);
  }
  static void SetDword(const char16_t* name, ULONG v) {
    kernel::registry::SetValue(ParametersPath(), name, REG_DWORD, &v, 4);
  }
  static WString FirmwareKey() { return ParametersPath() + u"\\Firmware\\" + kFirmwareProject; }
  static void SetPath(const char16_t* name, WStringView path) {
    kernel::registry::SetString(FirmwareKey(), name, path);
  }
  static void SetProjectFlags(UCHAR flags) {
    kernel::registry::SetValue(FirmwareKey(), u"RomAutoUpdateFlags", REG_BINARY, &flags, 1);
  }
  // Writes |bytes| as root/|relative| ("C/fw/image.bin").
  void WriteFile(const std::string& relative, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(fwimage::WriteFile((root_ / relative).string(), bytes)) << relative;
  }

  clock::ScopedSpeed real_time_{1};
  std::unique_ptr<chip::Chip> chip_;
  kernel::pnp::DevNode* node_ = nullptr;
  std::filesystem::path root_;
  std::string root_name_;
  std::string previous_root_;
};

}  // namespace vorn::station::testing
