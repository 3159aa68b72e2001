// The automatic ROM update of a new image on the worker's first run, over the chip model's
// ROM: a station that reports the image written and the chip reset must have left exactly
// that image in the chip's ROM.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/kernel/files.h"
#include "platform/kernel/registry.h"
#include "protocol/byte_order.h"
#include "sim/chip/station_requests.h"
#include "station/registry.h"
#include "station/rom.h"
#include "tests/sweep/scenarios.h"
#include "tests/sweep/station_bench.h"
#include "tools/fwimage/fwimage.h"

namespace vorn::sweep {

namespace {

constexpr char16_t kProject[] = u"VS3000";
constexpr ULONG kChipImageCode = 0x16080000;

// The steps of a sound update that ends with the chip reset: the last is the reset.
constexpr ULONG kRomStepReset = 23;

std::vector<uint8_t> Image() {
  fwimage::ImageOptions o;
  o.version = kChipImageCode + 1;
  o.data_size = 0x8000;
  return fwimage::BuildImage(o);
}

// The firmware files of every run, under a private root of the kernel's file stand-in.
class FirmwareRoot {
 public:
  FirmwareRoot() {
    namespace fs = std::filesystem;
    root_ = fs::temp_directory_path() / ("sweep-rom-" + std::to_string(getpid()));
    fs::create_directories(root_ / "C" / "fw");
    previous_ = kernel::files::Root();
    kernel::files::SetRoot(root_.string());
    ok_ = fwimage::WriteFile((root_ / "C" / "fw" / "image.bin").string(), Image());
  }
  ~FirmwareRoot() {
    kernel::files::SetRoot(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  bool ok() const { return ok_; }

 private:
  std::filesystem::path root_;
  std::string previous_;
  bool ok_ = false;
};

// What the station recorded of its update, from the registry's history of the first
// station's values.
struct UpdateRecord {
  bool reset_sent = false;  // the update went as far as the chip's reset
  bool no_error = true;     // and recorded no failing step
};

UpdateRecord Recorded() {
  char16_t key[station::kStationKeyChars];
  station::FormatStationKey(kFirstStation, key);
  const WString station_key = WString(kernel::registry::kServicesPath) + u"\\hollin\\" + key;
  UpdateRecord out;
  for (const kernel::registry::Write& w : kernel::registry::History()) {
    if (w.kind != kernel::registry::Write::kSetValue || !EqualNoCase(w.key, station_key) ||
        w.value.data.size() != 4)
      continue;
    const ULONG v = protocol::LoadLe32(w.value.data.data());
    if (EqualNoCase(w.name, u"RomState") && v == kRomStepReset) out.reset_sent = true;
    if (EqualNoCase(w.name, u"RomError") && v != 0) out.no_error = false;
  }
  return out;
}

void RomUpdate(Run& run) {
  FirmwareRoot files;
  if (!run.Expect(files.ok(), "the image file is written")) return;
  chip::ChipProfile profile = chip::MakeProfile({});
  profile.device_values[chip::kDeviceValueImageCode] = kChipImageCode;
  profile.device_values[chip::kDeviceValueCmdVersion] = 8;
  StationBench bench(run, std::move(profile), [] {
    const WString parameters = WString(kernel::registry::kServicesPath) + u"\\hollin\\Parameters";
    // The transfer and the burn wait long on the clock, so the station's own time-outs do not
    // fire on a loaded machine, yet a chip that never answers ends the update.
    ULONG transfer = 600000, burn = 2400000;
    kernel::registry::SetValue(parameters, u"RomXferTimeout", REG_DWORD, &transfer, 4);
    kernel::registry::SetValue(parameters, u"RomBurnTimeout", REG_DWORD, &burn, 4);
    kernel::registry::SetString(parameters + u"\\Firmware\\" + kProject, u"ImagePath",
                                u"C:\\fw\\image.bin");
  });
  if (!bench.loaded()) return;
  // Function 0 names the adapter's own vendor: the chip takes images.
  bench.chip().functions().SetFunction(0, 0x3A5C, 0x2000, u"Display");
  if (!bench.Attach()) {
    run.Expect(!run.clean(), "a clean chip is attached");
    return;
  }
  bench.Settle();
  run.Step("RomState " + std::to_string(StationBench::Dword(u"RomState")) + ", RomError " +
           std::to_string(StationBench::Dword(u"RomError")));
  // The update is judged once the station is gone: a request the chip still held when the
  // station settled has been ended by the removal, and its outcome recorded.
  bench.Remove();
  const UpdateRecord record = Recorded();
  const bool reported_done = record.reset_sent && record.no_error;
  run.Step(std::string("update ") + (reported_done ? "reported done" : "not reported done"));
  if (run.clean()) run.Expect(reported_done, "a clean update writes the image and resets the chip");
  if (reported_done) {
    run.Expect(bench.chip().rom().Contents(chip::kRomTargetImage) == Image(),
               "the update reported done, but the chip's ROM does not hold the image");
    run.Expect(bench.chip().rom().Resets() == 1, "the update reported done without the chip reset");
  }
}

}  // namespace

Scenario RomUpdateScenario() { return {"RomUpdate", RomUpdate}; }

}  // namespace vorn::sweep
