// Replays the EDID fuzzer's corpus, and every prefix of the real monitors' EDIDs, through the
// fuzzer's target in every build.
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/edid_fuzz_target.h"

namespace vorn::fuzz {
namespace {

TEST(EdidCorpusTest, EveryCorpusInputRuns) {
  const std::vector<std::string> files = FilesIn(VORN_EDID_CORPUS_DIR);
  ASSERT_GE(files.size(), 10u);
  for (const std::string& f : files) {
    const std::vector<uint8_t> data = Read(f);
    EXPECT_EQ(RunEdidInput(data.data(), data.size()), 0) << f;
  }
}

TEST(EdidCorpusTest, EveryPrefixOfRealEdidsRuns) {
  const std::vector<std::string> files = FilesIn(VORN_EDID_DATA_DIR);
  size_t edids = 0;
  for (const std::string& f : files) {
    if (f.size() < 5 || f.substr(f.size() - 5) != ".edid") continue;
    ++edids;
    const std::vector<uint8_t> data = Read(f);
    for (size_t n = 0; n <= data.size(); ++n) EXPECT_EQ(RunEdidInput(data.data(), n), 0) << f;
  }
  EXPECT_EQ(edids, 4u);
}

}  // namespace
}  // namespace vorn::fuzz
