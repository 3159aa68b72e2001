#include "tools/vorn-sim/rom_update.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/kernel/files.h"
#include "platform/kernel/irp.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/registry.h"
#include "platform/usb/bus/usb_bus.h"
#include "sim/chip/chip.h"
#include "station/driver_entry.h"
#include "tools/fwimage/fwimage.h"

namespace vorn::sim {
namespace {

namespace fs = std::filesystem;
namespace reg = kernel::registry;

constexpr char16_t kService[] = u"hollin";
constexpr char16_t kHardwareId[] = u"USB\\VID_3A5C&PID_0101";
constexpr uint32_t kChipImageCode = 0x16080000;
constexpr int kWaitSeconds = 60;

const char* StepName(uint32_t step) {
  switch (step) {
    case 1: return "reply channels armed";
    case 2: return "cleaned up";
    case 3: return "automatic update started";
    case 5: return "file size";
    case 6: return "size check";
    case 7: return "header read";
    case 9: return "version check";
    case 10: return "header check";
    case 11: return "buffer allocated";
    case 12: return "file read";
    case 13: return "checksum and end mark";
    case 14: return "descriptor section";
    case 15: return "sending a block";
    case 18: return "block transferred";
    case 19: return "ROM interface registered";
    case 20: return "ROM interface enabled";
    case 23: return "chip reset";
    case 24: return "image written";
    default: return "?";
  }
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

}  // namespace

int RunRomUpdate(const RomUpdateOptions& o) {
  std::vector<uint8_t> image;
  if (!o.image_file.empty()) {
    std::ifstream in(o.image_file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vorn-sim: cannot read %s\n", o.image_file.c_str());
      return 2;
    }
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    if (o.image_kib < 128 || o.image_kib % 64) {
      std::fprintf(stderr, "vorn-sim: --rom-size: a multiple of 64 KiB from 128\n");
      return 2;
    }
    fwimage::ImageOptions io;
    io.version = kChipImageCode + 1;
    io.image_size = o.image_kib * 1024;
    io.data_size = io.image_size - io.code_size - fwimage::kBlock / 2;
    image = fwimage::BuildImage(io);
  }

  const fs::path root = fs::temp_directory_path() / ("vorn-sim-rom-" + std::to_string(getpid()));
  fs::create_directories(root / "C" / "fw");
  fwimage::WriteFile((root / "C" / "fw" / "image.bin").string(), image);
  kernel::files::SetRoot(root.string());

  const WString parameters = WString(reg::kServicesPath) + u"\\" + kService + u"\\Parameters";
  reg::SetDword(parameters, u"RomMaxBlockSize", o.block_kib * 1024);
  reg::SetDword(parameters, u"RomXferTimeout", 0);
  reg::SetDword(parameters, u"RomBurnTimeout", 240000);
  reg::SetString(parameters + u"\\Firmware\\VS3000", u"ImagePath", u"C:\\fw\\image.bin");

  chip::ChipProfile profile = chip::MakeProfile({});
  profile.device_values[chip::kDeviceValueImageCode] = kChipImageCode;
  profile.device_values[chip::kDeviceValueCmdVersion] = 8;
  profile.station.rom_size_mib = 16;
  chip::Chip chip(std::move(profile));
  chip.UseStationBulkOut(true);
  chip.functions().SetFunction(0, 0x3A5C, 0x2000, u"Display");
  chip.rom().SetProgressReports(o.progress_reports);

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  DRIVER_OBJECT* driver = kernel::LoadDriver(kService, DriverEntry, &status);
  if (!driver) {
    std::fprintf(stderr, "vorn-sim: the station driver did not load (0x%08X)\n",
                 static_cast<unsigned>(status));
    return 1;
  }
  kernel::pnp::RegisterDriver(kHardwareId, driver);
  if (!o.quiet)
    std::printf("rom: writing a %zu KiB image in blocks of %u KiB\n", image.size() / 1024,
                o.block_kib);

  int result = 1;
  {
    usb::UsbBus bus;
    bus.Attach(chip);
    const WString station = parameters + u"\\0080";
    size_t seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
    bool done = false;
    bool writing = false;  // RomResult is written once at arming, before any block
    while (!done && std::chrono::steady_clock::now() < deadline) {
      std::vector<reg::Write> history = reg::History();
      for (; seen < history.size(); ++seen) {
        const reg::Write& w = history[seen];
        if (w.kind != reg::Write::kSetValue || !EqualNoCase(w.key, station)) continue;
        const std::vector<uint8_t>& v = w.value.data;
        if (w.name == u"RomState" && v.size() == 4) {
          const uint32_t step = Le32(v, 0);
          if (!o.quiet) std::printf("rom: step %2u %s\n", step, StepName(step));
          done = done || step == 23;
          writing = writing || step == 15;
        } else if (w.name == u"RomError" && v.size() == 4 && Le32(v, 0) != 0) {
          std::printf("rom: failed at step %u\n", Le32(v, 0));
          done = true;
        } else if (w.name == u"RomResult" && v.size() == 16 && writing && !o.quiet) {
          std::printf("rom: burnt %u of %zu bytes (%u%%), status 0x%02X\n", Le32(v, 12),
                      image.size(), static_cast<unsigned>(uint64_t{Le32(v, 12)} * 100 / image.size()),
                      v[0]);
        }
      }
      if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const bool verified = chip.rom().Contents(chip::kRomTargetImage) == image;
    std::printf("rom: %s, %zu blocks, %u chip reset%s\n",
                verified ? "the chip's ROM holds the image" : "the chip's ROM does not hold the image",
                chip.rom().Blocks().size(), chip.rom().Resets(), chip.rom().Resets() == 1 ? "" : "s");
    result = verified && chip.rom().Resets() == 1 ? 0 : 1;
    bus.Detach(chip);
  }
  kernel::pnp::WaitIdle();
  kernel::pnp::UnregisterDriver(driver);
  kernel::UnloadDriver(driver);
  fs::remove_all(root);
  return result;
}

}  // namespace vorn::sim
