// The sweep's own parts: the chip's transfer fault plan, and the harness finding a fault that
// a scenario has on one of its failure paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel/pool.h"
#include "platform/kernel/violations.h"
#include "platform/nt/clock.h"
#include "sim/chip/chip.h"
#include "sim/chip/transfer_faults.h"
#include "tests/sweep/sweep.h"

namespace vorn::sweep {
namespace {

using chip::TransferFault;
using usb::TransferStatus;

TransferStatus GetDeviceDescriptor(chip::Chip& chip, bool* timed_out = nullptr) {
  uint8_t buffer[18] = {};
  usb::Transfer t;
  t.setup = {usb::kDirIn, usb::kRequestGetDescriptor, usb::kDescriptorDevice << 8, 0, 18};
  t.buffer = buffer;
  t.length = sizeof buffer;
  return usb::RunSync(chip, t, std::chrono::milliseconds(50), timed_out);
}

struct TransferCase {
  const char* name;
  TransferFault fault;
  TransferStatus second;  // what the armed transfer ends with
  bool gone;              // the chip left the bus
};
void PrintTo(const TransferCase& c, std::ostream* os) { *os << c.name; }

class TransferFaultTest : public ::testing::TestWithParam<TransferCase> {
 protected:
  void TearDown() override { chip::ClearTransferFaults(); }
};

TEST_P(TransferFaultTest, OnlyTheArmedTransferOfAnyChipFails) {
  const TransferCase& c = GetParam();
  chip::Chip first(chip::MakeProfile({}));
  chip::Chip second(chip::MakeProfile({}));
  chip::Chip* gone = nullptr;
  chip::FailNthTransfer(2, c.fault, [&](chip::Chip& which) { gone = &which; });
  EXPECT_EQ(GetDeviceDescriptor(first), TransferStatus::kSuccess);
  EXPECT_FALSE(chip::TransferFaultFired());
  // The second transfer goes to the other chip: the plan counts the process's transfers.
  bool timed_out = false;
  EXPECT_EQ(GetDeviceDescriptor(second, &timed_out), c.second);
  EXPECT_EQ(timed_out, c.fault == TransferFault::kTimeOut);
  EXPECT_TRUE(chip::TransferFaultFired());
  EXPECT_EQ(second.Connected(), !c.gone);
  EXPECT_EQ(gone, c.gone ? &second : nullptr);
  EXPECT_EQ(second.HeldTransfers(), 0u);
  // Later transfers are answered again (by a chip still on the bus).
  EXPECT_EQ(GetDeviceDescriptor(first), TransferStatus::kSuccess);
  EXPECT_EQ(GetDeviceDescriptor(second),
            c.gone ? TransferStatus::kDeviceGone : TransferStatus::kSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TransferFaultTest,
    ::testing::Values(TransferCase{"Stall", TransferFault::kStall, TransferStatus::kStall, false},
                      TransferCase{"Error", TransferFault::kError, TransferStatus::kError, false},
                      TransferCase{"TimeOut", TransferFault::kTimeOut, TransferStatus::kCancelled, false},
                      TransferCase{"Gone", TransferFault::kGone, TransferStatus::kDeviceGone, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TransferFaultPlan, CountsEveryTransferAndDisarms) {
  chip::Chip chip(chip::MakeProfile({}));
  const uint64_t before = chip::TransferCount();
  chip::FailNthTransfer(1, TransferFault::kStall);
  chip::ClearTransferFaults();
  EXPECT_EQ(GetDeviceDescriptor(chip), TransferStatus::kSuccess);
  EXPECT_EQ(GetDeviceDescriptor(chip), TransferStatus::kSuccess);
  EXPECT_EQ(chip::TransferCount() - before, 2u);
  EXPECT_FALSE(chip::TransferFaultFired());
}

// Scenarios with a fault on one failure path: the sweep must name the run that shows it.
const ULONG kTagSweep = PoolTag("swpA");

// Blocks the leaking scenario loses to the pool's count, kept reachable for the process's own
// leak checker, which would otherwise report the test's deliberate leak.
void* g_lost = nullptr;

void LeaksWhenTheSecondAllocationFails(Run& run) {
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagSweep);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagSweep);
  run.Step("allocated");
  if (!b) {
    g_lost = a;  // never given back to the pool
    return;
  }
  if (a) ExFreePoolWithTag(a, kTagSweep);
  ExFreePoolWithTag(b, kTagSweep);
}

void BreaksAKernelRuleWhenTheFirstAllocationFails(Run& run) {
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagSweep);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagSweep);
  run.Step("allocated");
  if (!a) {
    ExFreePoolWithTag(b, PoolTag("swpB"));
    return;
  }
  ExFreePoolWithTag(a, kTagSweep);
  if (b) ExFreePoolWithTag(b, kTagSweep);
}

void ClaimsSuccessWithoutTheWork(Run& run) {
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagSweep);
  const bool done = true;  // reported whatever happened
  run.Expect(!done || a != nullptr, "claimed success without its block");
  if (a) ExFreePoolWithTag(a, kTagSweep);
}

void Sound(Run& run) {
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagSweep);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagSweep);
  run.Step("allocated");
  if (a) ExFreePoolWithTag(a, kTagSweep);
  if (b) ExFreePoolWithTag(b, kTagSweep);
}

struct HarnessCase {
  const char* name;
  void (*body)(Run&);
  int runs;                          // clean, each N until the fault no longer hits, clean
  int64_t allocations;               // of the tag in the clean run
  std::vector<std::string> failing;  // the injections whose runs must fail, in order
  const char* problem;               // a word of each failure
};
void PrintTo(const HarnessCase& c, std::ostream* os) { *os << c.name; }

class SweepHarnessTest : public ::testing::TestWithParam<HarnessCase> {};

TEST_P(SweepHarnessTest, NamesTheRunsThatShowTheFault) {
  const HarnessCase& c = GetParam();
  const Outcome out = RunSweep({c.name, c.body}, Plan{});
  if (g_lost) ExFreePoolWithTag(g_lost, kTagSweep);  // after the sweep saw it lost
  g_lost = nullptr;
  EXPECT_EQ(out.runs, c.runs);
  EXPECT_EQ(out.pool_allocations.at(kTagSweep), c.allocations);
  ASSERT_EQ(out.failures.size(), c.failing.size()) << ::testing::PrintToString(out.failures);
  for (size_t i = 0; i < c.failing.size(); ++i) {
    EXPECT_NE(out.failures[i].find("[" + c.failing[i] + "]"), std::string::npos) << out.failures[i];
    EXPECT_NE(out.failures[i].find(c.problem), std::string::npos) << out.failures[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, SweepHarnessTest,
    ::testing::Values(
        // Clean, the 1st, 2nd and 3rd allocation (the 3rd never comes), clean.
        HarnessCase{"Leak", LeaksWhenTheSecondAllocationFails, 5, 2, {"pool \"swpA\" #2"},
                    "1 blocks"},
        HarnessCase{"WrongTag", BreaksAKernelRuleWhenTheFirstAllocationFails, 5, 2,
                    {"pool \"swpA\" #1"}, "kernel: pool block of tag swpA freed with tag swpB"},
        HarnessCase{"FalseSuccess", ClaimsSuccessWithoutTheWork, 4, 1, {"pool \"swpA\" #1"},
                    "claimed success"},
        HarnessCase{"Sound", Sound, 5, 2, {}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorn::sweep
