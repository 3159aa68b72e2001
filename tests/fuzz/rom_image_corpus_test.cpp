// Replays the image fuzzer's corpus through its target in every build, with the firmware
// image builder's sound and broken images and every cut of them at a block or word edge.
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/rom_image_fuzz_target.h"
#include "tools/fwimage/fwimage.h"

namespace vorn::fuzz {
namespace {

TEST(RomImageCorpusTest, EveryCorpusInputRuns) {
  const std::vector<std::string> files = FilesIn(VORN_ROM_IMAGE_CORPUS_DIR);
  ASSERT_GE(files.size(), 10u);
  for (const std::string& f : files) {
    const std::vector<uint8_t> data = Read(f);
    EXPECT_EQ(RunRomImageInput(data.data(), data.size()), 0) << f;
  }
}

TEST(RomImageCorpusTest, EveryBuiltImageAndItsCutsRun) {
  std::vector<std::vector<uint8_t>> images = {fwimage::BuildImage({}), fwimage::BuildBoot({})};
  for (const fwimage::BreakInfo& b : fwimage::Breaks())
    images.push_back(fwimage::BreakImage(images[0], b.kind));
  for (const std::vector<uint8_t>& image : images) {
    for (size_t n : {size_t{0}, size_t{3}, size_t{255}, size_t{256}, size_t{260}, size_t{0x1100},
                     size_t{0xFFFC}, size_t{0x10000}, image.size() - 4, image.size()}) {
      if (n > image.size()) continue;
      EXPECT_EQ(RunRomImageInput(image.data(), n), 0) << n;
    }
  }
}

}  // namespace
}  // namespace vorn::fuzz
