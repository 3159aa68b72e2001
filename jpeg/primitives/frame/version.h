// The version record of each processor slot's build.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"

namespace vorn::jpeg::prim {

struct PrimitivesVersion {
  int32_t major;
  int32_t minor;
  int32_t update;
  int32_t revision;
  char target[4];  // "s2", "s3", "am", "s4", "v1", "v2"
  const char* name;
  const char* version;
  const char* buildDate;
};
static_assert(offsetof(PrimitivesVersion, target) == 16);
static_assert(offsetof(PrimitivesVersion, name) == (sizeof(void*) == 8 ? 24 : 20));
static_assert(sizeof(PrimitivesVersion) == (sizeof(void*) == 8 ? 48 : 32));

using GetPrimitivesVersionFn = const PrimitivesVersion* (*)();

// The record of the build in the current slot.
const PrimitivesVersion* GetPrimitivesVersion();
const PrimitivesVersion* GetPrimitivesVersionS2();

extern const DispatchTable<GetPrimitivesVersionFn> kGetPrimitivesVersionTable;

}  // namespace vorn::jpeg::prim
