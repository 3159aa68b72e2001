#include "platform/umdf/continuous_reader.h"

#include <algorithm>

#include "platform/umdf/request.h"
#include "platform/umdf/status_map.h"
#include "platform/umdf/usb_target.h"

namespace vorn::umdf {
namespace {
thread_local const Pipe* tls_reader_pipe = nullptr;
}  // namespace

const Pipe* ContinuousReader::CurrentPipe() { return tls_reader_pipe; }

ContinuousReader::ContinuousReader(Pipe* pipe, const WDF_USB_CONTINUOUS_READER_CONFIG& config)
    : pipe_(pipe),
      transfer_length_(config.TransferLength),
      header_length_(config.HeaderLength),
      complete_(config.EvtUsbTargetPipeReadComplete),
      context_(config.EvtUsbTargetPipeReadCompleteContext),
      failed_(config.EvtUsbTargetPipeReadersFailed) {
  const int reads =
      config.NumPendingReads == 0 ? kWdfDefaultNumPendingReads : config.NumPendingReads;
  const size_t buffer_size = config.HeaderLength + config.TransferLength + config.TrailerLength;
  for (int i = 0; i < reads; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->memory = new Memory(pipe->host(), buffer_size);
    Register(slot->memory, pipe);
    Slot* raw = slot.get();
    slot->transfer.complete = [this, raw](usb::Transfer&) { Completed(*raw); };
    slots_.push_back(std::move(slot));
  }
}

ContinuousReader::~ContinuousReader() { Stop(); }

void ContinuousReader::Start() {
  std::lock_guard<std::mutex> guard(lock_);
  if (thread_.joinable()) return;
  stopping_ = false;
  completed_.clear();
  thread_ = std::thread([this] { Run(); });
}

void ContinuousReader::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
      Trap("WdfIoTargetStop: called from the continuous reader's own routine on pipe 0x%02x",
           pipe_->endpoint().address);
    stopping_ = true;
    changed_.notify_all();
  }
  // Cancel what is out now, so the reads end while a routine may still be running; the
  // thread ends once that routine has returned. A read it was submitting meanwhile is
  // cancelled after the join, when the thread submits nothing more.
  CancelOutstanding();
  thread_.join();
  CancelOutstanding();
  std::unique_lock<std::mutex> lock(lock_);
  changed_.wait(lock, [this] { return outstanding_ == 0; });
  completed_.clear();
}

void ContinuousReader::CancelOutstanding() {
  std::vector<Slot*> out;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& slot : slots_)
      if (slot->outstanding) out.push_back(slot.get());
  }
  for (Slot* slot : out) pipe_->target().device().Cancel(slot->transfer);
}

void ContinuousReader::Submit(Slot& slot) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    usb::Transfer& t = slot.transfer;
    t.endpoint = pipe_->endpoint().address;
    t.buffer = static_cast<uint8_t*>(slot.memory->buffer()) + header_length_;
    t.length = static_cast<uint32_t>(transfer_length_);
    t.actual = 0;
    t.status = usb::TransferStatus::kPending;
    t.has_system_status = false;
    slot.outstanding = true;
    ++outstanding_;
  }
  pipe_->target().device().Submit(slot.transfer);
}

void ContinuousReader::SubmitAll() {
  for (auto& slot : slots_) Submit(*slot);
}

void ContinuousReader::Completed(Slot& slot) {
  std::lock_guard<std::mutex> guard(lock_);
  slot.outstanding = false;
  --outstanding_;
  if (!stopping_) completed_.push_back(&slot);
  changed_.notify_all();
}

void ContinuousReader::Deliver(Slot& slot) {
  const size_t bytes = std::min<size_t>(slot.transfer.actual, transfer_length_);
  complete_(HandleOf<WDFUSBPIPE>(pipe_), HandleOf<WDFMEMORY>(slot.memory), bytes, context_);
}

void ContinuousReader::Run() {
  tls_reader_pipe = pipe_;
  SubmitAll();
  std::unique_lock<std::mutex> lock(lock_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || !completed_.empty(); });
    if (stopping_) return;
    Slot* slot = completed_.front();
    completed_.pop_front();

    if (slot->transfer.status == usb::TransferStatus::kSuccess) {
      lock.unlock();
      Deliver(*slot);
      Submit(*slot);
      lock.lock();
      continue;
    }

    // A read failed: end the others, then let the failure routine decide.
    const UsbResult failure = MapTransferResult(slot->transfer, false);
    lock.unlock();
    CancelOutstanding();
    lock.lock();
    changed_.wait(lock, [this] { return stopping_ || outstanding_ == 0; });
    if (stopping_) return;

    // Data that arrived before the others were cancelled is still the caller's.
    std::deque<Slot*> finished;
    finished.swap(completed_);
    for (Slot* other : finished) {
      if (other->transfer.status != usb::TransferStatus::kSuccess) continue;
      lock.unlock();
      Deliver(*other);
      lock.lock();
      if (stopping_) return;
    }

    lock.unlock();
    const bool retry = failed_ == nullptr || failed_(HandleOf<WDFUSBPIPE>(pipe_), failure.status,
                                                     failure.usbd_status) != FALSE;
    lock.lock();
    if (stopping_ || !retry) return;

    lock.unlock();
    pipe_->target().device().ResetEndpoint(pipe_->endpoint().address);
    lock.lock();
    if (clock::WaitFor(changed_, lock, kReaderRestartPause, [this] { return stopping_; })) return;
    completed_.clear();
    lock.unlock();
    SubmitAll();
    lock.lock();
  }
}

}  // namespace vorn::umdf
