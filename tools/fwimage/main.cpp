// vorn-fwimage: writes firmware files for the station's automatic update.
//   vorn-fwimage image OUT [--version V] [--project CODE] [--code N] [--data N] [--break NAME]
//   vorn-fwimage two-part DATA_OUT CODE_OUT [same options]
//   vorn-fwimage boot OUT [--version V] [--size N] [--no-boot-block]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/fwimage/fwimage.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: vorn-fwimage image OUT [options]\n"
               "       vorn-fwimage two-part DATA_OUT CODE_OUT [options]\n"
               "       vorn-fwimage boot OUT [--version V] [--size N] [--no-boot-block]\n"
               "options: --version V  --project CODE (at most 16 characters)  --code N\n"
               "         --data N  --no-uhal  --break NAME (one of:");
  for (const auto& b : vorn::fwimage::Breaks()) std::fprintf(stderr, " %s", b.name);
  std::fprintf(stderr, ")\n");
  return 2;
}

bool Number(const char* text, uint32_t* out) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 0);
  if (!end || *end || v > 0xFFFFFFFFul) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vorn::fwimage;
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  const int outputs = mode == "two-part" ? 2 : 1;
  if ((mode != "image" && mode != "two-part" && mode != "boot") || argc < 2 + outputs)
    return Usage();
  ImageOptions image;
  BootOptions boot;
  const Break* broken = nullptr;
  for (int i = 2 + outputs; i < argc; ++i) {
    const std::string a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint32_t n = 0;
    if (a == "--no-uhal") {
      image.uhal_offset = 0;
    } else if (a == "--no-boot-block") {
      boot.boot_block = -1;
    } else if (!value) {
      return Usage();
    } else if (a == "--version" && Number(value, &n)) {
      image.version = boot.version = n;
      ++i;
    } else if (a == "--code" && Number(value, &n)) {
      image.code_size = n;
      ++i;
    } else if (a == "--data" && Number(value, &n)) {
      image.data_size = n;
      ++i;
    } else if (a == "--size" && Number(value, &n)) {
      boot.size = n;
      ++i;
    } else if (a == "--project" && std::strlen(value) <= image.project.size()) {
      image.project.fill(0);
      std::memcpy(image.project.data(), value, std::strlen(value));
      ++i;
    } else if (a == "--break") {
      for (const auto& b : Breaks())
        if (a == "--break" && std::strcmp(b.name, value) == 0) broken = &b.kind;
      if (!broken) return Usage();
      ++i;
    } else {
      return Usage();
    }
  }
  if (mode == "boot") return WriteFile(argv[2], BuildBoot(boot)) ? 0 : 1;
  std::vector<uint8_t> bytes = BuildImage(image);
  if (broken) bytes = BreakImage(bytes, *broken);
  if (mode == "image") return WriteFile(argv[2], bytes) ? 0 : 1;
  TwoPartFiles files = SplitImage(bytes);
  return WriteFile(argv[2], files.data_file) && WriteFile(argv[3], files.code_file) ? 0 : 1;
}
