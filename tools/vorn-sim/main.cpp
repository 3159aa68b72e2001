// vorn-sim: runs the driver package against the simulated adapter on this machine. It loads
// the display plug-in into the display host, opens an adapter with two monitors, prints what
// the plug-in found (from the block it wrote back, the device properties it published, the
// views it handed over and its bring-up trace), powers the adapter down and up, and closes it.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "display/sorvik_interface.h"
#include "display/trace_messages.h"
#include "platform/win32/trace_sink.h"
#include "sim/chip/chip.h"
#include "sim/host/display_host.h"

namespace {
constexpr const char* kVersion = "0.1.0";
constexpr UCHAR kTraceLevelInfo = 4;
constexpr ULONG kTraceAllAreas = 0xFFFF;

void PrintUsage() {
  std::printf(
      "vorn-sim %s: the Vorn station driver package on a simulated machine\n"
      "usage: vorn-sim [--profile NAME] [--version] [--help]\n"
      "  Opens a simulated adapter through the display host, prints what the display\n"
      "  plug-in found, powers the adapter down and up and closes it.\n"
      "  --profile NAME  the adapter to simulate (default two-views-usb3-64mib):\n",
      kVersion);
  for (const auto& p : vorn::chip::StandardProfiles()) std::printf("                   %s\n", p.name.c_str());
}

std::string PluginPath() {
  char exe[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string(".");
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir + "/../lib/libmarrel.so";
}

std::string Narrow(const WString& w) {
  std::string s;
  for (char16_t c : w) s.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return s;
}

const char* FormatName(uint32_t mode) {
  switch (mode) {
    case 0: return "JPEG";
    case 1: return "YUV 4:2:0";
    case 2: return "RGB 24-bit";
  }
  return "?";
}

// The plug-in's bring-up messages, formatted.
void PrintBringUp() {
  using namespace vorn::display;
  for (const vorn::win32::TraceRecord& r : vorn::win32::TraceRecords()) {
    if (!(r.messageGuid == kTraceUnitBringUp)) continue;
    auto a = [&](size_t i) { return r.ArgumentU32(i); };
    switch (r.messageNumber) {
      case kMsgDescriptor:
        std::printf("  USB:          bcdUSB 0x%04X (USB %s)\n", a(0), a(0) >= 0x300 ? "3" : "2");
        break;
      case kMsgUsbInfo:
        std::printf("  USB traits:   0x%X%s%s\n", a(0), a(1) ? ", high speed" : "",
                    a(2) ? ", self powered" : "");
        break;
      case kMsgDeviceValues:
        std::printf("  device:       image code 0x%X, platform %u, command set %u\n", a(0), a(1), a(2));
        break;
      case kMsgCapabilities:
        std::printf("  capabilities: flags 0x%08X, view descriptors 0x%X 0x%X, %u view(s)\n",
                    a(0), a(1), a(2), a(3));
        break;
      case kMsgSettings:
        std::printf("  settings:     JPEG quality %u, flip mode %u, format %s, detection %s\n",
                    a(0), a(1), FormatName(a(2)),
                    a(3) == 255 ? "per view from the capability block" : (a(3) ? "on" : "off"));
        break;
      case kMsgMemory:
        std::printf("  memory:       %u MiB, views [0, 0x%X), ring [0x%X, 0x%X)\n", a(0) >> 20,
                    a(1), a(2), a(3));
        break;
      default:
        break;
    }
  }
}

int Run(const std::string& profile_name) {
  vorn::chip::ChipProfile profile;
  bool found = false;
  for (auto& p : vorn::chip::StandardProfiles())
    if (p.name == profile_name) {
      profile = p;
      found = true;
    }
  if (!found) {
    std::fprintf(stderr, "vorn-sim: unknown profile '%s'\n", profile_name.c_str());
    return 2;
  }
  const std::string path = PluginPath();
  std::string error;
  auto host = vorn::host::DisplayHost::Load(path, &error);
  if (!host) {
    std::fprintf(stderr, "vorn-sim: cannot load the display plug-in: %s\n", error.c_str());
    return 1;
  }
  vorn::win32::EnableTraceProvider(vorn::display::kTraceControlGuid, kTraceLevelInfo, kTraceAllAreas);

  vorn::chip::Chip chip(profile);
  std::printf("adapter %s: %d monitor(s), %u MiB\n", profile.name.c_str(), profile.ViewCount(),
              profile.memory_mib);
  vorn::host::Adapter& adapter = host->AddAdapter(&chip);
  if (!adapter.Open()) {
    std::printf("the plug-in refused the adapter\n");
    return 1;
  }
  const SorvikDeviceInterface& block = adapter.block();
  std::printf("plug-in opened it (interface %u.%u)\n", block.VersionMajor, block.VersionMinor);
  if (auto name = adapter.wdf().Property(DEVPKEY_Device_FriendlyName))
    std::printf("  product:      %s\n", Narrow(name->AsString()).c_str());
  PrintBringUp();
  std::printf("  views:        %u, gamma %s\n", block.ViewCount,
              block.GammaSupported ? "offered" : "not offered");

  NTSTATUS status = adapter.Start();
  std::printf("started: %s\n", StatusName(status).c_str());
  for (const auto& d : adapter.Displays())
    std::printf("  view %u of %u: monitor connected, handed to the host (output type %u, target %u, context 0x%llX)\n",
                d.block.ViewIndex, d.block.ViewCount, d.block.OutputType, d.block.TargetID,
                static_cast<unsigned long long>(d.context));
  for (int v = 0; v < 2; ++v)
    if (profile.view_descriptor[v] && !profile.monitors[v].connected)
      std::printf("  output %d: no monitor\n", v);

  std::printf("power down: %s\n", StatusName(adapter.PowerEvent(kPowerEventStop)).c_str());
  std::printf("power up:   %s\n", StatusName(adapter.PowerEvent(kPowerEventRestart)).c_str());
  std::printf("closed:     %s\n", StatusName(adapter.Close()).c_str());
  std::printf("chip: %zu requests, %zu protocol violations\n", chip.log().Snapshot().size(),
              chip.violations().Count());
  return chip.violations().Count() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string profile = "two-views-usb3-64mib";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vorn-sim %s\n", kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintUsage();
      return 0;
    }
    if (std::strcmp(argv[i], "--profile") == 0 && i + 1 < argc) {
      profile = argv[++i];
      continue;
    }
    std::fprintf(stderr, "vorn-sim: unknown argument '%s'\n", argv[i]);
    PrintUsage();
    return 2;
  }
  return Run(profile);
}
