#include "tests/sweep/sweep.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/kernel/irp.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/violations.h"
#include "platform/kernel/workitem.h"
#include "platform/win32/faults.h"
#include "platform/win32/heap.h"
#include "sim/chip/transfer_faults.h"

namespace vorn::sweep {

namespace {

const char* KindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kClean: return "clean";
    case FaultKind::kPool: return "pool";
    case FaultKind::kHeap: return "heap";
    case FaultKind::kStall: return "stall";
    case FaultKind::kError: return "error";
    case FaultKind::kTimeOut: return "time-out";
    case FaultKind::kRemoval: return "removal";
  }
  return "?";
}

chip::TransferFault TransferFaultOf(FaultKind kind) {
  switch (kind) {
    case FaultKind::kStall: return chip::TransferFault::kStall;
    case FaultKind::kError: return chip::TransferFault::kError;
    case FaultKind::kTimeOut: return chip::TransferFault::kTimeOut;
    case FaultKind::kRemoval: return chip::TransferFault::kGone;
    default: return chip::TransferFault::kNone;
  }
}

// The run the removal fault pulls the adapter of (one run at a time).
std::mutex g_current_lock;
Run* g_current = nullptr;

std::string Join(const std::vector<std::string>& lines, const char* separator) {
  std::string out;
  for (const std::string& l : lines) {
    if (!out.empty()) out += separator;
    out += l;
  }
  return out;
}

}  // namespace

std::string Injection::Name() const {
  std::ostringstream s;
  s << KindName(kind);
  if (kind == FaultKind::kPool) s << " \"" << kernel::pool::TagName(tag) << "\"";
  if (kind != FaultKind::kClean) s << " #" << n;
  return s.str();
}

Run::~Run() { EndWork(); }

void Run::Step(const std::string& what) {
  std::lock_guard<std::mutex> guard(lock_);
  steps_.push_back(what);
}

bool Run::Expect(bool ok, const std::string& what) {
  if (!ok) Problem(what);
  return ok;
}

void Run::Problem(const std::string& what) {
  std::lock_guard<std::mutex> guard(lock_);
  problems_.push_back(what);
}

std::vector<std::string> Run::problems() const {
  std::lock_guard<std::mutex> guard(lock_);
  return problems_;
}

void Run::SetPull(std::function<void()> pull) {
  std::lock_guard<std::mutex> guard(lock_);
  pull_ = std::move(pull);
}

void Run::StartPull() {
  std::lock_guard<std::mutex> guard(lock_);
  if (ended_ || pulled_ || !pull_) return;
  pulled_ = true;
  steps_.push_back("adapter pulled");
  puller_ = std::thread(pull_);
}

void Run::EndWork() {
  std::thread puller;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ended_ = true;
    puller.swap(puller_);
  }
  if (puller.joinable()) puller.join();
}

bool Run::pulled() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pulled_;
}

bool WaitReal(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return true;
}

std::vector<std::string> RunOnce(const Scenario& scenario, const Injection& injection,
                                 std::vector<std::string>* steps, bool* fired) {
  Run run(injection);
  // Blocks a run before this one lost stay lost: each run answers for its own.
  const std::map<ULONG, kernel::pool::TagCount> pool = kernel::pool::AllOutstanding();
  const int threads = kernel::RunningSystemThreads();
  const win32::HeapTotals heaps = win32::GetHeapTotals();
  const int64_t tag_base = injection.kind == FaultKind::kPool
                               ? kernel::pool::AllocationCount(injection.tag) : 0;
  kernel::SetViolationHandler([&run](const std::string& v) { run.Problem("kernel: " + v); });
  {
    std::lock_guard<std::mutex> guard(g_current_lock);
    g_current = &run;
  }

  switch (injection.kind) {
    case FaultKind::kClean:
      break;
    case FaultKind::kPool:
      kernel::pool::FailNthAllocation(injection.tag, injection.n);
      break;
    case FaultKind::kHeap:
      win32::FailHeapAllocations(nullptr, static_cast<uint32_t>(injection.n - 1), 1);
      break;
    default:
      chip::FailNthTransfer(injection.n, TransferFaultOf(injection.kind), [](chip::Chip&) {
        std::lock_guard<std::mutex> guard(g_current_lock);
        if (g_current) g_current->StartPull();
      });
      break;
  }
  const uint64_t heap_calls = heaps.allocationCalls;

  scenario.body(run);
  run.EndWork();

  bool hit = true;
  switch (injection.kind) {
    case FaultKind::kClean:
      hit = false;
      break;
    case FaultKind::kPool:
      hit = kernel::pool::AllocationCount(injection.tag) - tag_base >= injection.n;
      kernel::pool::FailNthAllocation(injection.tag, 0);
      break;
    case FaultKind::kHeap:
      hit = win32::GetHeapTotals().allocationCalls - heap_calls >= static_cast<uint64_t>(injection.n);
      win32::ClearFaults();
      break;
    default:
      hit = chip::TransferFaultFired();
      chip::ClearTransferFaults();
      break;
  }
  {
    std::lock_guard<std::mutex> guard(g_current_lock);
    g_current = nullptr;
  }
  if (fired) *fired = hit;

  // What must hold after every run, whatever failed.
  kernel::pnp::WaitIdle();
  kernel::WaitWorkIdle();
  kernel::irp::CheckNoneInDriver();
  for (const auto& [tag, count] : kernel::pool::AllOutstanding()) {
    auto it = pool.find(tag);
    const kernel::pool::TagCount was = it == pool.end() ? kernel::pool::TagCount{} : it->second;
    if (count.blocks != was.blocks || count.bytes != was.bytes)
      run.Problem("pool tag \"" + kernel::pool::TagName(tag) + "\": " +
                  std::to_string(count.blocks - was.blocks) + " blocks, " +
                  std::to_string(count.bytes - was.bytes) + " bytes left");
  }
  if (!WaitReal([&] { return kernel::RunningSystemThreads() <= threads; }))
    run.Problem(std::to_string(kernel::RunningSystemThreads() - threads) +
                " system threads still running");
  const win32::HeapTotals after = win32::GetHeapTotals();
  if (after.liveHeaps != heaps.liveHeaps)
    run.Problem(std::to_string(after.liveHeaps - heaps.liveHeaps) + " private heaps left");
  kernel::SetViolationHandler(nullptr);

  if (steps) *steps = run.steps();
  return run.problems();
}

Outcome RunSweep(const Scenario& scenario, const Plan& plan) {
  Outcome out;
  // VORN_SWEEP_VERBOSE=1 lists every run with its steps as it ends.
  const char* verbose = std::getenv("VORN_SWEEP_VERBOSE");
  auto record = [&](const Injection& injection, bool* fired) {
    std::vector<std::string> steps;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::string> problems = RunOnce(scenario, injection, &steps, fired);
    if (verbose && *verbose == '1')
      std::fprintf(stderr, "%s [%s] %lld ms: %s\n", scenario.name.c_str(), injection.Name().c_str(),
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count()),
                   Join(steps, ", ").c_str());
    ++out.runs;
    if (!problems.empty())
      out.failures.push_back(scenario.name + " [" + injection.Name() + "]: " +
                             Join(problems, "; ") + "\n    steps: " + Join(steps, ", "));
  };

  // The clean run counts what there is to fail.
  const std::map<ULONG, int64_t> pool_before = kernel::pool::AllocationCounts();
  const uint64_t heap_before = win32::GetHeapTotals().allocationCalls;
  const uint64_t transfers_before = chip::TransferCount();
  record(Injection{}, nullptr);
  for (const auto& [tag, count] : kernel::pool::AllocationCounts()) {
    auto it = pool_before.find(tag);
    const int64_t made = count - (it == pool_before.end() ? 0 : it->second);
    if (made > 0) out.pool_allocations[tag] = made;
  }
  out.heap_allocations = win32::GetHeapTotals().allocationCalls - heap_before;
  out.transfers = chip::TransferCount() - transfers_before;

  // N walks up from 1 until the fault no longer hits; a bound well past the clean run's count
  // keeps a scenario that retries for ever from running for ever.
  auto walk = [&](Injection injection, int64_t clean_count) {
    const int64_t bound = clean_count * 2 + 16;
    int64_t stride = std::max(plan.stride, 1);
    if (plan.spread > 0) stride = std::max<int64_t>(stride, (clean_count + plan.spread - 1) / plan.spread);
    int runs = 0;
    for (int64_t n = 1; n <= bound; n += stride) {
      if (plan.first > 0 && runs >= plan.first) break;
      injection.n = static_cast<int>(n);
      bool fired = false;
      record(injection, &fired);
      ++runs;
      if (!fired) break;
    }
  };

  if (plan.pool) {
    for (const auto& [tag, count] : out.pool_allocations) {
      if (!plan.tags.empty() &&
          std::find(plan.tags.begin(), plan.tags.end(), tag) == plan.tags.end())
        continue;
      walk(Injection{FaultKind::kPool, tag, 0}, count);
    }
  }
  if (plan.heap && out.heap_allocations > 0)
    walk(Injection{FaultKind::kHeap, 0, 0}, static_cast<int64_t>(out.heap_allocations));
  if (plan.transfers && out.transfers > 0) {
    for (FaultKind kind : {FaultKind::kRemoval, FaultKind::kStall, FaultKind::kTimeOut, FaultKind::kError})
      if (kind != FaultKind::kRemoval || plan.removal)
        walk(Injection{kind, 0, 0}, static_cast<int64_t>(out.transfers));
  }

  // The next adapter that arrives works.
  record(Injection{}, nullptr);
  return out;
}

}  // namespace vorn::sweep
