// The sweep: one piece of work (a scenario) run over and over on a fresh machine, each run with
// one fault injected: the N-th pool allocation of a tag fails, the N-th allocation of the
// plug-in's private heaps fails, or the N-th transfer to the chip stalls, errs, times out or
// finds the adapter removed by surprise. A clean run first counts what there is to fail; N
// then walks 1, 2, ... (or a stride of them) until a run goes through with nothing left to
// inject. After every run the harness checks what must hold whatever failed: no kernel rule
// broken (an IRP completed twice included), no IRP left in a driver, every pool tag and heap
// back to zero, no system thread left running; the scenario itself checks that whatever it
// was told succeeded really reached the chip. The last run is a clean one again: the next
// adapter that arrives still works.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/nt/types.h"

namespace vorn::sweep {

enum class FaultKind {
  kClean,    // nothing injected
  kPool,     // the n-th allocation of |tag| fails
  kHeap,     // the n-th allocation of any private heap fails
  kStall,    // the n-th transfer to the chip stalls
  kError,    // the n-th transfer ends with a transport error
  kTimeOut,  // the chip never answers the n-th transfer
  kRemoval,  // the adapter is removed by surprise at the n-th transfer
};

struct Injection {
  FaultKind kind = FaultKind::kClean;
  ULONG tag = 0;
  int n = 0;
  std::string Name() const;
};

// One run of a scenario: what it was given to fail, the steps it went through, the problems
// the scenario and the harness found.
class Run {
 public:
  explicit Run(Injection injection) : injection_(injection) {}
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  const Injection& injection() const { return injection_; }
  bool clean() const { return injection_.kind == FaultKind::kClean; }

  // A step of the work, in the order it happened (shown with a problem).
  void Step(const std::string& what);
  // Records a problem unless |ok|; returns |ok|.
  bool Expect(bool ok, const std::string& what);
  void Problem(const std::string& what);

  // How the scenario's adapter is taken off the bus (the bus's Detach). A removal fault runs
  // it on a thread of the harness, since the fault hits inside a transfer.
  void SetPull(std::function<void()> pull);
  // Waits for a pull under way and allows no later one: the scenario calls it before it
  // takes its machine apart. Also run by the harness when the scenario returns.
  void EndWork();
  // True once the adapter was pulled by a removal fault.
  bool pulled() const;
  // Called by the removal fault (any thread): starts the pull.
  void StartPull();

  const std::vector<std::string>& steps() const { return steps_; }
  std::vector<std::string> problems() const;

 private:
  const Injection injection_;
  mutable std::mutex lock_;
  std::vector<std::string> steps_;
  std::vector<std::string> problems_;
  std::function<void()> pull_;
  bool pulled_ = false;
  bool ended_ = false;
  std::thread puller_;
};

struct Scenario {
  std::string name;
  // Builds a machine, does the work, removes the adapter and takes the machine apart again
  // (the driver unloaded), checking its own results against what the chip saw.
  std::function<void(Run&)> body;
  // Whether the short form sweeps its pool tags: a scenario whose allocations are another's
  // (the same station and child, another frame format) leaves them to the long form.
  bool short_pool = true;
};

// Which faults a sweep injects and how densely.
struct Plan {
  bool pool = true;
  bool heap = true;
  bool transfers = true;
  // Among the transfer faults, the adapter removed by surprise.
  bool removal = true;
  // N walks 1, 1 + stride, 1 + 2 * stride, ... for each tag and fault kind.
  int stride = 1;
  // At most this many runs per tag or fault kind (0: no limit).
  int first = 0;
  // Spreads at most this many runs per tag or fault kind evenly over the clean run's count
  // (the stride grows to fit; 0: |stride| as given).
  int spread = 0;
  // Only these pool tags (empty: every tag the clean run allocated).
  std::vector<ULONG> tags;
};

struct Outcome {
  int runs = 0;
  // Per pool tag, the allocations of the clean run.
  std::map<ULONG, int64_t> pool_allocations;
  uint64_t heap_allocations = 0;
  uint64_t transfers = 0;
  // One line per failed run: its injection, its problems and its steps.
  std::vector<std::string> failures;
};

// Runs |scenario| clean, then with every fault of |plan|, then clean again.
Outcome RunSweep(const Scenario& scenario, const Plan& plan);
// One run with |injection| (the checks included); its problems.
std::vector<std::string> RunOnce(const Scenario& scenario, const Injection& injection,
                                 std::vector<std::string>* steps = nullptr,
                                 bool* fired = nullptr);

// Waits for |done| up to 30 s of real time.
bool WaitReal(const std::function<bool()>& done);

}  // namespace vorn::sweep
