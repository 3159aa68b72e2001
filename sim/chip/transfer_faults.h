// One transfer fault for every chip of the process: "the N-th transfer submitted to any chip
// from now on stalls, times out or finds the device gone". Sweeps walk N over every transfer
// of a piece of work without knowing which chip, endpoint or request it will be, and the
// plan also counts the transfers so a clean run tells how far there is to go.
#pragma once

#include <cstdint>
#include <functional>

namespace vorn::chip {

class Chip;

enum class TransferFault {
  kNone,
  kStall,    // the endpoint answers STALL
  kError,    // a transport error
  kTimeOut,  // the chip never answers; the transfer ends only when the host cancels it
  kGone,     // the device leaves the bus on this transfer
};

const char* TransferFaultName(TransferFault fault);

// Arms the plan: the |n|-th transfer (1 = the next) submitted to any chip ends with |fault|.
// n <= 0 or kNone disarms it. |on_gone| runs after a kGone fault has unplugged the chip, on
// the submitting thread and with no lock of the chip held: it may only signal, not remove
// the device itself.
void FailNthTransfer(int n, TransferFault fault, std::function<void(Chip&)> on_gone = {});
void ClearTransferFaults();
// True once the armed fault has hit a transfer (until the next FailNthTransfer).
bool TransferFaultFired();
// Transfers submitted to any chip since the process started.
uint64_t TransferCount();

// The chip's side: counts one submitted transfer and says how it is to end.
TransferFault TakeTransferFault();
// The chip's side, after it has unplugged itself for a kGone fault.
void ReportTransferGone(Chip& chip);

}  // namespace vorn::chip
