// vorn-sim --rom: the station driver's automatic ROM update on a simulated machine. A firmware
// image is built (or read from a file), named in the firmware key of the adapter's project,
// and the station driver is loaded and bound to a simulated adapter; vorn-sim then follows the
// update step by step (RomState, each block's burn result) until the chip is reset, and checks
// that the chip's ROM holds the image.
#pragma once

#include <cstdint>
#include <string>

namespace vorn::sim {

struct RomUpdateOptions {
  std::string image_file;        // empty: a built image
  uint32_t image_kib = 256;      // the built image's size
  uint32_t block_kib = 64;       // RomMaxBlockSize (0: the whole image in one block)
  uint32_t progress_reports = 3; // the chip's progress reports per block
  bool quiet = false;
};

// 0 when the image was written and verified, 1 when the update failed, 2 for bad options.
int RunRomUpdate(const RomUpdateOptions& options);

}  // namespace vorn::sim
