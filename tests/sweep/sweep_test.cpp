// The sweep's short form: every scenario under each family of faults, with a bounded number of
// runs per pool tag and per fault kind spread over the scenario's whole length. The long form,
// every N, is scripts/sweep.sh.
#include <gtest/gtest.h>

#include <string>

#include "platform/kernel/pool.h"
#include "tests/sweep/scenarios.h"

namespace vorn::sweep {
namespace {

enum class Family { kPool, kHeap, kTransfers };

struct SweepCase {
  Scenario scenario;
  Family family;
  std::string Name() const {
    static const char* const kNames[] = {"Pool", "Heap", "Transfers"};
    return scenario.name + "_" + kNames[static_cast<int>(family)];
  }
};
void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.Name(); }

std::vector<SweepCase> Cases() {
  std::vector<SweepCase> out;
  for (const Scenario& s : AllScenarios())
    for (Family f : {Family::kPool, Family::kHeap, Family::kTransfers})
      if (f != Family::kPool || s.short_pool) out.push_back({s, f});
  return out;
}

class SweepTest : public ::testing::TestWithParam<SweepCase> {};

TEST_P(SweepTest, EveryRunEndsSound) {
  const SweepCase& c = GetParam();
  Plan plan;
  plan.pool = c.family == Family::kPool;
  plan.heap = c.family == Family::kHeap;
  plan.transfers = c.family == Family::kTransfers;
  plan.spread = 6;
  const Outcome out = RunSweep(c.scenario, plan);
  std::string counts;
  for (const auto& [tag, n] : out.pool_allocations)
    counts += " " + kernel::pool::TagName(tag) + ":" + std::to_string(n);
  RecordProperty("runs", out.runs);
  std::cout << c.Name() << ": " << out.runs << " runs; clean run: " << out.transfers
            << " transfers, " << out.heap_allocations << " heap allocations, pool" << counts
            << "\n";
  EXPECT_GE(out.runs, 2);
  for (const std::string& f : out.failures) ADD_FAILURE() << f;
}

INSTANTIATE_TEST_SUITE_P(All, SweepTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.Name(); });

}  // namespace
}  // namespace vorn::sweep
