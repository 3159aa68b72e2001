#include "jpeg/primitives/frame/version.h"

#include "jpeg/primitives/frame/cpu.h"

namespace vorn::jpeg::prim {
namespace {

constexpr const char kVersionText[] = "7.1.1 (r37466)";
constexpr const char kBuildDate[] = "Sep 25 2012";

constexpr PrimitivesVersion Record(const char (&target)[3], const char* name) {
  return {7, 1, 1, 37466, {target[0], target[1], 0, 0}, name, kVersionText, kBuildDate};
}

constexpr PrimitivesVersion kS2 = Record("s2", "jprim SSE2 (s2)");
constexpr PrimitivesVersion kS3 = Record("s3", "jprim SSSE3 (s3)");
constexpr PrimitivesVersion kAm = Record("am", "jprim Atom (am)");
constexpr PrimitivesVersion kS4 = Record("s4", "jprim SSE4.1/4.2 (s4)");
constexpr PrimitivesVersion kS4Plus = Record("s4", "jprim SSE4.1/4.2 (s4)+");
constexpr PrimitivesVersion kV1 = Record("v1", "jprim AVX (v1)");
constexpr PrimitivesVersion kV2 = Record("v2", "jprim AVX2 (v2)");

const PrimitivesVersion* GetPrimitivesVersionS3() { return &kS3; }
const PrimitivesVersion* GetPrimitivesVersionAm() { return &kAm; }
const PrimitivesVersion* GetPrimitivesVersionS4() {
  return FeaturesEnabled(CpuSse42, 0) ? &kS4Plus : &kS4;
}
const PrimitivesVersion* GetPrimitivesVersionV1() { return &kV1; }
const PrimitivesVersion* GetPrimitivesVersionV2() { return &kV2; }

}  // namespace

const PrimitivesVersion* GetPrimitivesVersionS2() { return &kS2; }

constexpr DispatchTable<GetPrimitivesVersionFn> kGetPrimitivesVersionTable = {{
    GetPrimitivesVersionS2,
    GetPrimitivesVersionS2,
    GetPrimitivesVersionS3,
    GetPrimitivesVersionAm,
    GetPrimitivesVersionS4,
    GetPrimitivesVersionV1,
    GetPrimitivesVersionV2,
    GetPrimitivesVersionS2,  // the portable entry
}};

const PrimitivesVersion* GetPrimitivesVersion() { return kGetPrimitivesVersionTable.Current()(); }

}  // namespace vorn::jpeg::prim
