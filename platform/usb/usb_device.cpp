#include "platform/usb/usb_device.h"

#include <memory>

namespace vorn::usb {

const char* TransferStatusName(TransferStatus s) {
  switch (s) {
    case TransferStatus::kPending: return "pending";
    case TransferStatus::kSuccess: return "success";
    case TransferStatus::kStall: return "stall";
    case TransferStatus::kError: return "error";
    case TransferStatus::kCancelled: return "cancelled";
    case TransferStatus::kDeviceGone: return "device gone";
  }
  return "unknown";
}

TransferStatus RunSync(UsbDevice& device, Transfer& t, clock::Duration timeout,
                       bool* timed_out) {
  struct Waiter {
    std::mutex lock;
    std::condition_variable done_cv;
    bool done = false;
  };
  auto waiter = std::make_shared<Waiter>();
  auto caller_complete = std::move(t.complete);
  t.status = TransferStatus::kPending;
  t.actual = 0;
  t.complete = [waiter](Transfer&) {
    std::lock_guard<std::mutex> guard(waiter->lock);
    waiter->done = true;
    waiter->done_cv.notify_all();
  };
  if (timed_out) *timed_out = false;
  device.Submit(t);

  std::unique_lock<std::mutex> lock(waiter->lock);
  bool finished = true;
  if (timeout > clock::Duration::zero())
    finished = clock::WaitFor(waiter->done_cv, lock, timeout, [&] { return waiter->done; });
  else
    waiter->done_cv.wait(lock, [&] { return waiter->done; });
  if (!finished) {
    lock.unlock();
    device.Cancel(t);
    lock.lock();
    waiter->done_cv.wait(lock, [&] { return waiter->done; });
    if (timed_out && t.status == TransferStatus::kCancelled) *timed_out = true;
  }
  lock.unlock();
  t.complete = std::move(caller_complete);
  return t.status;
}

}  // namespace vorn::usb
