#include "tests/sweep/scenarios.h"

namespace vorn::sweep {

std::vector<Scenario> AllScenarios() {
  std::vector<Scenario> out = {StationStartStop(), ControlCodesScenario(), RomUpdateScenario(),
                               PanelLibraryScenario()};
  for (Scenario& s : DisplayFramesScenarios()) out.push_back(std::move(s));
  out.push_back(AudioPlayRecordScenario());
  return out;
}

}  // namespace vorn::sweep
