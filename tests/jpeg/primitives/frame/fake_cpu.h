// A processor answered from recorded CPUID register tables, for the selection and cache
// tests. Leaves above the reported maximum answer with every bit set, as a stale register
// would, so reading one unchecked shows up as bogus features; XGETBV without OSXSAVE is
// counted, as it would fault on a real processor.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <utility>

#include "jpeg/primitives/frame/cpu.h"

namespace vorn::jpeg::prim::test {

struct FakeCpu {
  bool hasCpuid = true;
  std::map<std::pair<uint32_t, uint32_t>, CpuidRecord> leaves;
  uint64_t xcr0 = 0x7;
  int xgetbvCalls = 0;
  int xgetbvFaults = 0;

  void SetVendor(const char (&vendor)[13], uint32_t maxLeaf) {
    CpuidRecord r{maxLeaf, 0, 0, 0};
    std::memcpy(&r.ebx, vendor, 4);
    std::memcpy(&r.edx, vendor + 4, 4);
    std::memcpy(&r.ecx, vendor + 8, 4);
    leaves[{0, 0}] = r;
  }
  void Set(uint32_t leaf, uint32_t subleaf, CpuidRecord r) { leaves[{leaf, subleaf}] = r; }

  uint32_t MaxLeaf() const {
    auto it = leaves.find({0, 0});
    return it == leaves.end() ? 0 : it->second.eax;
  }

  CpuProbe Probe() { return CpuProbe{this, &Available, &Cpuid, &Xgetbv}; }

  static bool Available(void* c) { return static_cast<FakeCpu*>(c)->hasCpuid; }
  static void Cpuid(void* c, uint32_t leaf, uint32_t subleaf, CpuidRecord* out) {
    auto* self = static_cast<FakeCpu*>(c);
    const bool basic = leaf < 0x20000000;
    if (basic && leaf > self->MaxLeaf()) {
      *out = {~0u, ~0u, ~0u, ~0u};
      return;
    }
    auto it = self->leaves.find({leaf, subleaf});
    *out = it == self->leaves.end() ? CpuidRecord{0, 0, 0, 0} : it->second;
  }
  static uint64_t Xgetbv(void* c, uint32_t) {
    auto* self = static_cast<FakeCpu*>(c);
    ++self->xgetbvCalls;
    auto it = self->leaves.find({1, 0});
    const bool osxsave = it != self->leaves.end() && (it->second.ecx & (1u << 27)) != 0;
    if (!osxsave) ++self->xgetbvFaults;
    return self->xcr0;
  }
};

}  // namespace vorn::jpeg::prim::test
