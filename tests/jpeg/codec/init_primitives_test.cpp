// The processor build chosen at device start, while other threads encode.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"
#include "tests/jpeg/codec/codec_fixture.h"

namespace vorn::jpeg::test {
namespace {

TEST(InitPrimitives, SelectsTheProcessorsBestBuildEveryTime) {
  prim::BuildSelection expected{};
  prim::SelectProcessorBuild(prim::HostCpuProbe(), &expected);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(prim::InitPrimitives(), 0);
    EXPECT_EQ(prim::ProcessorIndex.load(), expected.processorIndex);
    EXPECT_EQ(prim::EnabledFeatureMask.load(), expected.enabledMask);
    EXPECT_EQ(prim::CurrentDispatchEntry(), expected.processorIndex);
  }
  // On any processor with SSE2 the build in use is never the portable one.
  if (prim::BuildRunsHere(prim::BuildS2)) {
    EXPECT_GE(expected.processorIndex, prim::BuildS2);
  }
}

// A second adapter opening (InitPrimitives again and again) while the first one's thread
// encodes: every frame comes out as the reference, and the thread sanitizer sees no race.
TEST(InitPrimitives, RepeatedSelectionWhileAnotherThreadEncodes) {
  const Picture picture = DesktopPicture(96, 64, 4);
  prim::InitPrimitives();
  const std::vector<uint8_t> reference = Encode(RequestFor(picture)).Stream();
  ASSERT_FALSE(reference.empty());

  std::atomic<bool> done{false};
  std::atomic<int32_t> selections{0};
  std::thread opener([&] {
    while (!done.load()) {
      prim::InitPrimitives();
      selections.fetch_add(1);
    }
  });
  int32_t mismatches = 0;
  int32_t frames = 0;
  // At least 200 frames, and until the other thread has selected 200 times as well.
  while (frames < 200 || selections.load() < 200) {
    if (Encode(RequestFor(picture)).Stream() != reference) ++mismatches;
    ++frames;
    if (frames > 1000000) break;
  }
  done.store(true);
  opener.join();
  EXPECT_EQ(mismatches, 0) << "of " << frames;
  EXPECT_GE(selections.load(), 200);
}

}  // namespace
}  // namespace vorn::jpeg::test
