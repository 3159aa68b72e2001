// The sweep's long form: every N of every fault for the scenarios named on the command line
// (all when none is named). Prints each failed run and a closing count; exits 1 on a failure.
//   vorn_sweep_all [--stride N] [--pool] [--heap] [--transfers] [scenario ...]
// One run alone, with its steps:
//   vorn_sweep_all --once KIND N [TAG] scenario    (KIND: pool heap stall error time-out removal)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/pool.h"
#include "tests/sweep/scenarios.h"

int main(int argc, char** argv) {
  using namespace vorn::sweep;
  Plan plan;
  std::vector<std::string> names;
  bool some_family = false, pool = false, heap = false, transfers = false;
  bool once = false;
  Injection injection;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--once") && i + 2 < argc) {
      once = true;
      const std::string kind = argv[++i];
      injection.n = std::atoi(argv[++i]);
      const char* const kinds[] = {"clean", "pool", "heap", "stall", "error", "time-out", "removal"};
      for (int k = 0; k < 7; ++k)
        if (kind == kinds[k]) injection.kind = static_cast<FaultKind>(k);
      if (injection.kind == FaultKind::kPool && i + 1 < argc) {
        char tag[5] = "    ";
        std::strncpy(tag, argv[++i], 4);
        injection.tag = PoolTag(tag);
      }
    } else if (!std::strcmp(argv[i], "--stride") && i + 1 < argc) {
      plan.stride = std::max(1, std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--pool")) {
      pool = some_family = true;
    } else if (!std::strcmp(argv[i], "--heap")) {
      heap = some_family = true;
    } else if (!std::strcmp(argv[i], "--transfers")) {
      transfers = some_family = true;
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr, "usage: %s [--stride N] [--pool] [--heap] [--transfers] [scenario ...]\n",
                   argv[0]);
      return 2;
    } else {
      names.emplace_back(argv[i]);
    }
  }
  if (some_family) {
    plan.pool = pool;
    plan.heap = heap;
    plan.transfers = transfers;
  }
  if (once) {
    for (const Scenario& s : AllScenarios()) {
      if (names.empty() || s.name != names[0]) continue;
      std::vector<std::string> steps;
      bool fired = false;
      const std::vector<std::string> problems = RunOnce(s, injection, &steps, &fired);
      std::printf("%s [%s]%s\n", s.name.c_str(), injection.Name().c_str(), fired ? "" : " (not hit)");
      for (const std::string& step : steps) std::printf("  step: %s\n", step.c_str());
      for (const std::string& p : problems) std::printf("  PROBLEM: %s\n", p.c_str());
      return problems.empty() ? 0 : 1;
    }
    std::fprintf(stderr, "no such scenario\n");
    return 2;
  }
  int passed = 0, failed = 0;
  bool known = names.empty();
  for (const Scenario& s : AllScenarios()) {
    if (!names.empty() && std::find(names.begin(), names.end(), s.name) == names.end()) continue;
    known = true;
    const Outcome out = RunSweep(s, plan);
    std::printf("%s: %d runs, clean run %llu transfers, %llu heap allocations, pool",
                s.name.c_str(), out.runs, static_cast<unsigned long long>(out.transfers),
                static_cast<unsigned long long>(out.heap_allocations));
    for (const auto& [tag, n] : out.pool_allocations)
      std::printf(" %s:%lld", vorn::kernel::pool::TagName(tag).c_str(), static_cast<long long>(n));
    std::printf("\n");
    for (const std::string& f : out.failures) std::printf("  FAILED %s\n", f.c_str());
    failed += static_cast<int>(out.failures.size());
    passed += out.runs - static_cast<int>(out.failures.size());
    std::fflush(stdout);
  }
  if (!known) {
    std::fprintf(stderr, "no such scenario\n");
    return 2;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}
