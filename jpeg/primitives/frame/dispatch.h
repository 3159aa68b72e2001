// Processor dispatch of the image primitives.
//
// Every dispatched primitive has up to seven builds, one per processor slot (ProcessorBuild
// below), and its portable build in an eighth entry after them. SelectProcessorBuild (cpu.h)
// picks the slot at every device start and publishes it in ProcessorIndex; until then every
// call goes to slot 0. Slots 0 and 1 both hold the SSE2 build, so a call before the first
// selection already runs it. The portable build defines the results: the tests take it as
// the reference, and only a 32-bit process on a processor without SSE2 runs it (slot 0
// falls back to it there). A primitive's public entry loads the slot and calls through its
// table, nothing more.
//
// How a family registers its builds (each family in its own folder, e.g. color/):
//
//   1. Write the portable build (suffix S2): it defines the results. Faster builds (e.g.
//      ...Sse2, ...Avx2) go in files of their own, compiled with that file's target flags
//      only, so no wider instruction leaks into a lower slot's code. Keep such a file's
//      helpers in an anonymous namespace and call no inline function or template it shares
//      with other files: the linker keeps one copy of those, and it may be the one built with
//      the wider flags.
//   2. Define the table once, in a .cpp of the family, with ShareLower: the first entry is
//      the portable build (it must be set), the second the SSE2 build, which goes in slots 0
//      and 1 (the portable build when there is none), the others the builds of slots 2 to 6.
//      Each slot left null gets the build of the nearest lower slot:
//
//        constexpr DispatchTable<BgraToYCbCrPlanesFn> kBgraToYCbCrPlanesTable =
//            ShareLower<BgraToYCbCrPlanesFn>({{BgraToYCbCrPlanesS2, BgraToYCbCrPlanesSse2,
//                                              nullptr, nullptr, nullptr, nullptr,
//                                              BgraToYCbCrPlanesAvx2}});
//
//   3. The public entry is one line:
//
//        PrimitiveStatus BgraToYCbCrPlanes(...) {
//          return kBgraToYCbCrPlanesTable.Current()(...);
//        }
//
//   4. Export the table (extern in the family's header) so tests can call each entry's build
//      directly; BuildRunsHere(entry) says whether this machine can execute it.
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
// The entry of the portable build, after the processor slots.
constexpr int32_t kPortableEntry = kProcessorSlots;
constexpr int32_t kDispatchEntries = kProcessorSlots + 1;

// The processor slot in use; 0 until SelectProcessorBuild runs. Written by every device
// start while other threads dispatch, so it is atomic. Every writer stores the same value;
// the store releases and the load acquires, so a thread that sees a slot also sees the
// enabled feature mask stored before it.
extern std::atomic<int32_t> ProcessorIndex;

inline int32_t CurrentProcessorIndex() {
  const int32_t slot = ProcessorIndex.load(std::memory_order_acquire);
  return static_cast<uint32_t>(slot) < static_cast<uint32_t>(kProcessorSlots) ? slot : 0;
}

namespace detail {
// Whether the processor runs SSE2 code: 0 not known yet, 1 yes, 2 no. Only a 32-bit
// build asks: every x86-64 processor has SSE2.
extern std::atomic<int32_t> HostSse2State;
int32_t ProbeHostSse2();
inline bool HostHasSse2() {
  int32_t state = HostSse2State.load(std::memory_order_relaxed);
  if (state == 0) state = ProbeHostSse2();
  return state == 1;
}
}  // namespace detail

// The table entry a dispatch uses: the processor slot, except that slot 0 falls back to the
// portable build in a 32-bit process on a processor without SSE2. Tests may also force the
// portable entry (ScopedProcessorIndex(kPortableEntry)).
inline int32_t CurrentDispatchEntry() {
  int32_t slot = ProcessorIndex.load(std::memory_order_acquire);
  if (static_cast<uint32_t>(slot) >= static_cast<uint32_t>(kDispatchEntries)) slot = 0;
#if !defined(__x86_64__)
  if (slot == BuildS2NoSse2 && !detail::HostHasSse2()) return kPortableEntry;
#endif
  return slot;
}

// One entry per slot, indexed by ProcessorBuild, then the portable build.
template <typename Fn>
struct DispatchTable {
  Fn slot[kDispatchEntries];

  Fn Current() const { return slot[CurrentDispatchEntry()]; }
  Fn Portable() const { return slot[kPortableEntry]; }
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

// entries: the portable build, the SSE2 build, the builds of slots 2 to 6. Slots 0 and 1 get
// the SSE2 build (the portable one when there is none), the portable entry the portable
// build, and each later slot left null the build of the nearest lower slot.
template <typename Fn>
constexpr DispatchTable<Fn> ShareLower(SlotEntries<Fn> entries) {
  if (!entries.slot[0].set) detail::DispatchTableNeedsSlotZero();
  DispatchTable<Fn> table{};
  table.slot[kPortableEntry] = entries.slot[0].fn;
  table.slot[0] = entries.slot[1].set ? entries.slot[1].fn : entries.slot[0].fn;
  table.slot[1] = table.slot[0];
  for (int32_t i = 2; i < kProcessorSlots; ++i) {
    table.slot[i] = entries.slot[i].set ? entries.slot[i].fn : table.slot[i - 1];
  }
  return table;
}

// The CPU features (CpuFeatureBit, cpu.h) the code of each table entry may use: slots 0 and
// 1 hold SSE2 code, the portable entry none.
constexpr uint64_t kSlotRequiredFeatures[kDispatchEntries] = {
    0x4, 0x4, 0x14, 0x34, 0x44, 0x304, 0x8304, 0x0,
};

// Whether this machine can run the code of table entry |slot| (0 to kPortableEntry), for
// tests that force each build.
bool BuildRunsHere(int32_t slot);

// The entries in the order the tests and benchmarks try them: the portable build (the
// reference) first, then the processor slots.
constexpr int32_t kEntriesReferenceFirst[kDispatchEntries] = {kPortableEntry, 0, 1, 2, 3, 4, 5, 6};

// Tests only: route dispatch to table entry |slot| (a processor slot or kPortableEntry) for
// the lifetime of the object.
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
