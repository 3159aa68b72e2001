// The panel operations. Not part of this build: every handler fails loudly, and the chip is
// never asked.
#include "station/kernel_utils.h"
#include "station/panel_ops.h"

namespace vorn::station {

NTSTATUS GetPanelProperty(StationExtension*, ULONG, UCHAR*) { return NotBuilt("GetPanelProperty"); }
NTSTATUS SetPanelProperty(StationExtension*, const UCHAR*) { return NotBuilt("SetPanelProperty"); }
NTSTATUS GetPanelSecurityKey(StationExtension*, UCHAR*) { return NotBuilt("GetPanelSecurityKey"); }
NTSTATUS GetLanguageIndex(StationExtension*, ULONG, UCHAR*) { return NotBuilt("GetLanguageIndex"); }
NTSTATUS SetLanguageIndex(StationExtension*, ULONG) { return NotBuilt("SetLanguageIndex"); }
NTSTATUS SetLanguageData(StationExtension*, ULONG, const UCHAR*, ULONG) {
  return NotBuilt("SetLanguageData");
}
NTSTATUS SaveLanguageData(StationExtension*) { return NotBuilt("SaveLanguageData"); }
NTSTATUS NightLightControl(StationExtension*, const UCHAR*) { return NotBuilt("NightLightControl"); }
NTSTATUS SetNightLightTables(StationExtension*, const UCHAR*) {
  return NotBuilt("SetNightLightTables");
}
NTSTATUS GetThirdPartyVersion(StationExtension*, UCHAR*) { return NotBuilt("GetThirdPartyVersion"); }
NTSTATUS ResetChip(StationExtension*) { return NotBuilt("ResetChip"); }
NTSTATUS SetThirdPartyMode(StationExtension*, ULONG) { return NotBuilt("SetThirdPartyMode"); }

}  // namespace vorn::station
