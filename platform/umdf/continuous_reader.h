// The continuous reader of an IN pipe: a fixed set of reads kept pending on the device,
// their completions handed to the caller one at a time on the reader's own thread.
//
// When a read fails, the other reads are cancelled and waited for, reads that had already
// completed with data are still delivered, and then the failure routine decides: TRUE resets
// the endpoint and starts every read again (after a short pause, so a device that stays gone
// does not spin the thread), FALSE ends the reader until it is stopped and started again.
//
// Stop cancels the outstanding reads and returns only once a completion or failure routine
// that was running has returned; no routine runs after it. It may not be called from the
// reader's own routines (that would wait for itself): that traps. Start and Stop are
// serialised by the caller (the pipe's reader lock).
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/umdf/wdf.h"
#include "platform/usb/usb_device.h"

namespace vorn::umdf {

class Memory;
class Pipe;

// Pause before the reads start again after a failure the caller chose to retry.
constexpr clock::Duration kReaderRestartPause = std::chrono::milliseconds(10);

class ContinuousReader {
 public:
  // |config| has been checked by the caller; the reader creates its buffers under |pipe|.
  ContinuousReader(Pipe* pipe, const WDF_USB_CONTINUOUS_READER_CONFIG& config);
  ~ContinuousReader();
  ContinuousReader(const ContinuousReader&) = delete;
  ContinuousReader& operator=(const ContinuousReader&) = delete;

  // Starts the reads unless the reader's thread exists (running, or ended by a failure
  // routine's FALSE: only Stop clears that).
  void Start();
  void Stop();

  // The pipe whose reader's routine the calling thread is running, or null. Starting,
  // stopping or deleting that pipe from inside the routine would wait for itself.
  static const Pipe* CurrentPipe();

 private:
  struct Slot {
    usb::Transfer transfer;
    Memory* memory = nullptr;
    bool outstanding = false;
  };

  void Run();
  void SubmitAll();
  void Submit(Slot& slot);
  void CancelOutstanding();
  void Completed(Slot& slot);
  void Deliver(Slot& slot);

  Pipe* pipe_;
  size_t transfer_length_;
  size_t header_length_;
  PFN_WDF_USB_READER_COMPLETION_ROUTINE complete_;
  WDFCONTEXT context_;
  PFN_WDF_USB_READERS_FAILED failed_;
  std::vector<std::unique_ptr<Slot>> slots_;

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Slot*> completed_;  // finished reads not yet handled, in completion order
  int outstanding_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace vorn::umdf
