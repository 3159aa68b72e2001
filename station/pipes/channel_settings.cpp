#include "station/pipes/channel_settings.h"

#include <cstdio>
#include <iterator>

#include "protocol/channels.h"
#include "station/registry.h"

namespace vorn::station {

namespace {

// The value name of |base| followed by the channel in decimal ("MaxSliceSizeHS3").
void ChannelValueName(const char* base, size_t channel, char16_t (&out)[32]) {
  char narrow[32];
  std::snprintf(narrow, sizeof narrow, "%s%zu", base, channel);
  size_t i = 0;
  for (; narrow[i] && i + 1 < std::size(out); ++i) out[i] = static_cast<unsigned char>(narrow[i]);
  out[i] = 0;
}

void ReadSliceSize(const char* name, size_t channel, ULONG* field) {
  char16_t value_name[32];
  ChannelValueName(name, channel, value_name);
  ULONG value = *field;
  if (NT_SUCCESS(ReadParameter(value_name, REG_DWORD, sizeof value, &value)) && value != 0)
    *field = value;
}

}  // namespace

void LoadChannelSettings(StationGlobals* globals) {
  for (size_t i = 0; i < kChannelCount; ++i) {
    const protocol::BusChannelDefaults& defaults = protocol::kBusChannelDefaults[i];
    globals->MaxSliceSizeHS[i] = defaults.MaxSliceSizeHS;
    globals->MaxSliceSizeSS[i] = defaults.MaxSliceSizeSS;
    globals->PriorityLevel[i] = defaults.PriorityLevel;

    ReadSliceSize("MaxSliceSizeHS", i, &globals->MaxSliceSizeHS[i]);
    ReadSliceSize("MaxSliceSizeSS", i, &globals->MaxSliceSizeSS[i]);

    char16_t value_name[32];
    ChannelValueName("PriorityLevel", i, value_name);
    UCHAR priority = globals->PriorityLevel[i];
    if (NT_SUCCESS(ReadParameter(value_name, REG_BINARY, sizeof priority, &priority)) &&
        priority < kPriorityQueueCount)
      globals->PriorityLevel[i] = priority;
  }
}

}  // namespace vorn::station
