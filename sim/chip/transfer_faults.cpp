#include "sim/chip/transfer_faults.h"

#include <mutex>

namespace vorn::chip {
namespace {

struct Plan {
  std::mutex lock;
  uint64_t count = 0;
  uint64_t fail_at = 0;  // absolute transfer number; 0 = disarmed
  TransferFault fault = TransferFault::kNone;
  bool fired = false;
  std::function<void(Chip&)> on_gone;
};

Plan& State() {
  static Plan* plan = new Plan;
  return *plan;
}

}  // namespace

const char* TransferFaultName(TransferFault fault) {
  switch (fault) {
    case TransferFault::kNone: return "none";
    case TransferFault::kStall: return "stall";
    case TransferFault::kError: return "error";
    case TransferFault::kTimeOut: return "time-out";
    case TransferFault::kGone: return "removal";
  }
  return "?";
}

void FailNthTransfer(int n, TransferFault fault, std::function<void(Chip&)> on_gone) {
  Plan& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  const bool armed = n > 0 && fault != TransferFault::kNone;
  p.fail_at = armed ? p.count + static_cast<uint64_t>(n) : 0;
  p.fault = armed ? fault : TransferFault::kNone;
  p.fired = false;
  p.on_gone = armed ? std::move(on_gone) : nullptr;
}

void ClearTransferFaults() { FailNthTransfer(0, TransferFault::kNone); }

bool TransferFaultFired() {
  Plan& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.fired;
}

uint64_t TransferCount() {
  Plan& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  return p.count;
}

TransferFault TakeTransferFault() {
  Plan& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  ++p.count;
  if (p.fail_at == 0 || p.count != p.fail_at) return TransferFault::kNone;
  p.fail_at = 0;
  p.fired = true;
  return p.fault;
}

void ReportTransferGone(Chip& chip) {
  std::function<void(Chip&)> on_gone;
  {
    Plan& p = State();
    std::lock_guard<std::mutex> guard(p.lock);
    on_gone = p.on_gone;
  }
  if (on_gone) on_gone(chip);
}

}  // namespace vorn::chip
