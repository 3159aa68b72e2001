// The pieces of work the sweep runs, each on a machine of its own.
#pragma once

#include <vector>

#include "tests/sweep/sweep.h"

namespace vorn::sweep {

// A station started on the chip model, serving its control interface, stopped and removed.
Scenario StationStartStop();
// One valid call of each control code on a started station, through CreateFileW and
// DeviceIoControl.
Scenario ControlCodesScenario();
// The automatic update of a new ROM image on the worker's first run.
Scenario RomUpdateScenario();
// The panel library's start, the station's arrival, a brightness set and the destroy.
Scenario PanelLibraryScenario();

// A burst of frames through the station's display child, one scenario per frame format.
std::vector<Scenario> DisplayFramesScenarios();
// A short stream played and one recorded through the station's audio child.
Scenario AudioPlayRecordScenario();

// Every scenario of the station and the panel library.
std::vector<Scenario> AllScenarios();

}  // namespace vorn::sweep
