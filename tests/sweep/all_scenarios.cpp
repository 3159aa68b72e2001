#include "tests/sweep/scenarios.h"

namespace vorn::sweep {

std::vector<Scenario> AllScenarios() {
  return {StationStartStop()};
}

}  // namespace vorn::sweep
