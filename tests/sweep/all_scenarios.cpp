#include "tests/sweep/scenarios.h"

namespace vorn::sweep {

std::vector<Scenario> AllScenarios() {
  return {StationStartStop(), ControlCodesScenario(), RomUpdateScenario(), PanelLibraryScenario()};
}

}  // namespace vorn::sweep
