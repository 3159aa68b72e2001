// Replays the encoder fuzzer's corpus through the fuzzer's target in every build, and a sweep
// over every mode, colour, sampling and a range of sizes and qualities.
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/jpeg/encoder_fuzz_target.h"

namespace vorn::fuzz {
namespace {

TEST(EncoderCorpusTest, EveryCorpusInputRuns) {
  const std::vector<std::string> files = FilesIn(VORN_ENCODER_CORPUS_DIR);
  ASSERT_GE(files.size(), 10u);
  for (const std::string& f : files) {
    const std::vector<uint8_t> data = Read(f);
    EXPECT_EQ(RunEncoderInput(data.data(), data.size()), 0) << f;
  }
}

TEST(EncoderCorpusTest, SweepOfModesColoursSamplingsAndSizes) {
  std::vector<uint8_t> input(kEncoderInputHeader + 97);
  for (size_t i = kEncoderInputHeader; i < input.size(); ++i) input[i] = uint8_t(i * 37 + (i >> 2));
  int runs = 0;
  for (int mode : {0, 1}) {
    for (int kind = 0; kind < 16; ++kind) {
      for (int sampling : {0, 1, 2, 3, 4}) {
        for (int size : {1, 7, 8, 9, 17, 33}) {
          input[0] = uint8_t(mode);
          input[1] = uint8_t(kind | (sampling << 4));
          input[2] = uint8_t(size - 1);
          input[3] = uint8_t((size * 3) % 40);
          input[4] = uint8_t(size % 3);
          input[5] = uint8_t(size & 1);
          input[6] = uint8_t((size * 29) % 102);
          input[7] = uint8_t(size % 5);
          input[8] = uint8_t(size % 4 == 1 ? 0 : 1);
          input[9] = uint8_t(size * 5);
          ASSERT_EQ(RunEncoderInput(input.data(), input.size()), 0);
          ++runs;
        }
      }
    }
  }
  EXPECT_EQ(runs, 2 * 16 * 5 * 6);
}

}  // namespace
}  // namespace vorn::fuzz
