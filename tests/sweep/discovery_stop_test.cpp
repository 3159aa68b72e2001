// A chip that never answers the worker's discovery requests: the worker still reaches its
// control interface, and an orderly stop does not wait for it for ever.
#include <gtest/gtest.h>

#include "protocol/vendor_request.h"
#include "sim/chip/request_script.h"
#include "station/station_start.h"
#include "station/worker.h"
#include "tests/sweep/station_bench.h"

namespace vorn::sweep {
namespace {

TEST(DiscoveryTimeOut, AFunctionReadTheChipNeverAnswersFailsAndTheStationStillServesAndStops) {
  sweep::Run run(Injection{});
  {
    StationBench bench(run, chip::MakeProfile({}));
    ASSERT_TRUE(bench.loaded());
    bench.chip().script().OnRequest(protocol::ReqReadFunctionInfo,
                                    {chip::ScriptKind::kTimeOut, chip::ScriptAction::kForever});
    ASSERT_TRUE(bench.Attach());
    EXPECT_TRUE(WaitReal([&] { return bench.Serving(); }))
        << "the worker is still waiting for the chip";
    EXPECT_EQ(StationBench::Dword(u"ThdError"), 6u) << "discovery failed";
    if (bench.Serving()) {
      EXPECT_EQ(bench.Stop(), STATUS_SUCCESS);
      EXPECT_EQ(bench.HalState(), static_cast<ULONG>(station::kHalCleanedUp));
      bench.Remove();
    }
  }
  EXPECT_EQ(run.problems(), std::vector<std::string>{});
}

}  // namespace
}  // namespace vorn::sweep
