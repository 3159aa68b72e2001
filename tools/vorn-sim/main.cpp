// vorn-sim: runs the driver package against the simulated adapter on this machine.
#include <cstdio>
#include <cstring>

namespace {
constexpr const char* kVersion = "0.1.0";

void PrintUsage() {
  std::printf(
      "vorn-sim %s: the Vorn station driver package on a simulated machine\n"
      "usage: vorn-sim [--version] [--help]\n",
      kVersion);
}
}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("vorn-sim %s\n", kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintUsage();
      return 0;
    }
    std::fprintf(stderr, "vorn-sim: unknown argument '%s'\n", argv[i]);
    PrintUsage();
    return 2;
  }
  PrintUsage();
  return 0;
}
