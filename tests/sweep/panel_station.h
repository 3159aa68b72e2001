// A station for the panel library's scenario, kept apart from the kernel's headers (which do
// not mix with the user-mode services' ones the library's side includes): the adapter of the
// panel library's product on a station bench.
#pragma once

#include <memory>
#include <string>

#include "sim/chip/chip.h"
#include "tests/sweep/sweep.h"

namespace vorn::sweep {

class StationBench;

class PanelStation {
 public:
  // Loads the driver, bound to the panel adapter's id.
  explicit PanelStation(Run& run);
  ~PanelStation();
  PanelStation(const PanelStation&) = delete;
  PanelStation& operator=(const PanelStation&) = delete;

  bool loaded() const;
  // Attaches the adapter and waits until its station settles; true when it serves.
  bool Arrive();
  // An orderly removal of the station.
  void Remove();
  chip::Chip& chip();
  // The path an application opens the station's control interface by, empty when none is
  // enabled.
  std::u16string InterfacePath() const;

 private:
  std::unique_ptr<StationBench> bench_;
};

}  // namespace vorn::sweep
