// Requests from outside the kernel, as the I/O manager makes them for the user-mode side:
// open a device by interface link (the rest of the path becomes the file object's name),
// device-control requests with buffered and direct buffers, cleanup and close.
#pragma once

#include <memory>

#include "platform/kernel/irp.h"
#include "platform/nt/clock.h"

namespace vorn::kernel::io {

// "\??\USB#...#{guid}" opens with an empty file name; "\??\USB#...#{guid}\roothub" gives the
// file object the name "\roothub". STATUS_OBJECT_NAME_NOT_FOUND when no enabled link matches;
// otherwise the status the driver gave IRP_MJ_CREATE.
NTSTATUS Open(WStringView path, FILE_OBJECT** file);
// IRP_MJ_CLEANUP at once; IRP_MJ_CLOSE, and the end of the file object, once no request
// sent on the file is still in flight (at once when none is). Requests made after Close fail
// with STATUS_INVALID_HANDLE without reaching the driver.
void Close(FILE_OBJECT* file);

// One device-control request in flight. METHOD_BUFFERED copies the input into a system
// buffer and back at most the output length; the direct methods describe the output buffer
// with an MDL; the caller's buffers must outlive the request.
class Request {
 public:
  static std::unique_ptr<Request> DeviceControl(FILE_OBJECT* file, ULONG code, const void* input,
                                                ULONG input_length, void* output, ULONG output_length,
                                                bool internal = false);
  ~Request();  // waits for completion
  // True once completed; waits up to |timeout| of clock time (negative: without limit).
  bool Wait(clock::Duration timeout = clock::Duration(-1));
  void Cancel();
  NTSTATUS status() const { return status_; }
  ULONG_PTR information() const { return information_; }
  // The status the dispatch routine returned.
  NTSTATUS dispatch_status() const { return dispatch_status_; }

 private:
  Request() = default;
  static void Done(IRP* irp, void* context);
  void Finish();

  IRP* irp_ = nullptr;
  FILE_OBJECT* file_ = nullptr;  // the file this request keeps open until it finishes
  KEVENT done_{};
  bool finished_ = false;
  void* output_ = nullptr;
  ULONG output_length_ = 0;
  bool buffered_ = false;
  NTSTATUS status_ = STATUS_PENDING;
  NTSTATUS dispatch_status_ = STATUS_PENDING;
  ULONG_PTR information_ = 0;
};

// A synchronous device-control request; the Information in |information| when given.
NTSTATUS DeviceControl(FILE_OBJECT* file, ULONG code, const void* input, ULONG input_length,
                       void* output, ULONG output_length, ULONG_PTR* information = nullptr);

}  // namespace vorn::kernel::io
