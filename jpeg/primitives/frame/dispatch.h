// Processor dispatch of the image primitives.
//
// Every dispatched primitive has up to seven builds, one per processor slot (ProcessorBuild
// below). SelectProcessorBuild (cpu.h) picks the slot once per device start and publishes it
// in ProcessorIndex; until then every call goes to slot 0. A primitive's public entry loads
// the slot and calls through its table, nothing more.
//
// How a family registers its builds (each family in its own folder, e.g. color/):
//
//   1. Write the plain build (suffix S2): it defines the results and runs in every slot
//      that has no faster build. Faster builds (e.g. ...Sse2, ...Avx2) go in files of their
//      own, compiled with that file's target flags only, so no wider instruction leaks into
//      a lower slot's code. Keep such a file's helpers in an anonymous namespace and call no
//      inline function or template it shares with other files: the linker keeps one copy of
//      those, and it may be the one built with the wider flags.
//   2. Define the table once, in a .cpp of the family, listing the slots that have their own
//      build and leaving the others null (trailing ones may be left out); ShareLower fills
//      each null slot with the nearest lower slot's build (slot 0 must be set):
//
//        constexpr DispatchTable<BgraToYCbCrPlanesFn> kBgraToYCbCrPlanesTable =
//            ShareLower<BgraToYCbCrPlanesFn>({{BgraToYCbCrPlanesS2, BgraToYCbCrPlanesSse2,
//                                              nullptr, nullptr, nullptr, nullptr,
//                                              BgraToYCbCrPlanesAvx2}});
//
//      A table whose sharing is not "nearest lower" (e.g. the s2 build again in slots 4-6)
//      simply lists every slot.
//   3. The public entry is one line:
//
//        PrimitiveStatus BgraToYCbCrPlanes(...) {
//          return kBgraToYCbCrPlanesTable.Current()(...);
//        }
//
//   4. Export the table (extern in the family's header) so tests can call each slot's build
//      directly; BuildRunsHere(slot) says whether this machine can execute that slot.
//
// A slot's version record (version.h) stays the slot's own even when its code is shared.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vorn::jpeg::prim {

// The processor slots, lowest first.
enum ProcessorBuild : int32_t {
  BuildS2NoSse2 = 0,  // no SSE2: the plain build only
  BuildS2 = 1,        // SSE2
  BuildS3 = 2,        // SSSE3 without MOVBE
  BuildAm = 3,        // SSSE3 with MOVBE
  BuildS4 = 4,        // SSE4.1
  BuildV1 = 5,        // AVX enabled by the OS
  BuildV2 = 6,        // AVX plus AVX2, BMI1, BMI2 and FMA
};
constexpr int32_t kProcessorSlots = 7;

// The processor slot in use; 0 until SelectProcessorBuild runs. Written by every device
// start while other threads dispatch, so it is an atomic read and written relaxed: every
// writer stores the same value, and a reader needs no ordering with other memory.
extern std::atomic<int32_t> ProcessorIndex;

inline int32_t CurrentProcessorIndex() {
  const int32_t slot = ProcessorIndex.load(std::memory_order_relaxed);
  return static_cast<uint32_t>(slot) < static_cast<uint32_t>(kProcessorSlots) ? slot : 0;
}

// One entry per slot, indexed by ProcessorBuild.
template <typename Fn>
struct DispatchTable {
  Fn slot[kProcessorSlots];

  Fn Current() const { return slot[CurrentProcessorIndex()]; }
};

namespace detail {
// Not constexpr: reaching it while a table is constant-initialised stops the compile.
inline void DispatchTableNeedsSlotZero() {}
}  // namespace detail

// One slot as a family lists it: a build, or nullptr (or nothing) for "share the slot
// below". The distinction is made by overload, not by comparing function addresses, which
// some compilers do not treat as constant (sanitizer builds).
template <typename Fn>
struct SlotEntry {
  Fn fn = nullptr;
  bool set = false;

  constexpr SlotEntry() = default;
  constexpr SlotEntry(std::nullptr_t) {}
  constexpr SlotEntry(Fn build) : fn(build), set(true) {}
};

template <typename Fn>
struct SlotEntries {
  SlotEntry<Fn> slot[kProcessorSlots];
};

// Fills each slot left null with the build of the nearest lower slot.
template <typename Fn>
constexpr DispatchTable<Fn> ShareLower(SlotEntries<Fn> entries) {
  if (!entries.slot[0].set) detail::DispatchTableNeedsSlotZero();
  DispatchTable<Fn> table{};
  table.slot[0] = entries.slot[0].fn;
  for (int32_t i = 1; i < kProcessorSlots; ++i) {
    table.slot[i] = entries.slot[i].set ? entries.slot[i].fn : table.slot[i - 1];
  }
  return table;
}

// The CPU features (CpuFeatureBit, cpu.h) a slot's own builds may use.
constexpr uint64_t kSlotRequiredFeatures[kProcessorSlots] = {
    0x0, 0x4, 0x14, 0x34, 0x44, 0x304, 0x8304,
};

// Whether this machine can run the code of |slot| (for tests that force each build).
bool BuildRunsHere(int32_t slot);

// Tests only: route dispatch to |slot| for the lifetime of the object.
class ScopedProcessorIndex {
 public:
  explicit ScopedProcessorIndex(int32_t slot)
      : saved_(ProcessorIndex.exchange(slot, std::memory_order_relaxed)) {}
  ~ScopedProcessorIndex() { ProcessorIndex.store(saved_, std::memory_order_relaxed); }
  ScopedProcessorIndex(const ScopedProcessorIndex&) = delete;
  ScopedProcessorIndex& operator=(const ScopedProcessorIndex&) = delete;

 private:
  int32_t saved_;
};

}  // namespace vorn::jpeg::prim
