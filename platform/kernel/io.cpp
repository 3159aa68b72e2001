#include "platform/kernel/io.h"

#include <atomic>
#include <cstring>

#include "platform/kernel/device_internal.h"
#include "platform/kernel/interfaces.h"
#include "platform/kernel/irp_internal.h"
#include "platform/kernel/pnp_internal.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/violations.h"

namespace vorn::kernel::io {
namespace {

constexpr ULONG kBufferTag = PoolTag("IoUb");

// A file's own record. |users| counts the handle (until Close) and every device-control
// request in flight on it: IRP_MJ_CLOSE goes to the driver only once the last of them is gone,
// as a request still pending keeps its file object alive after its handle was closed.
struct FileRecord {
  WString name;
  DEVICE_OBJECT* pdo;
  std::atomic<int> users{1};
  std::atomic<bool> cleaned_up{false};
};

void DestroyFile(void* p) {
  auto* f = static_cast<FILE_OBJECT*>(p);
  delete static_cast<FileRecord*>(f->Internal);
  delete f;
}

NTSTATUS SendFileRequest(FILE_OBJECT* file, UCHAR major) {
  DEVICE_OBJECT* device = file->DeviceObject;
  return internal::SendAndWait(device, major, 0, [&](IO_STACK_LOCATION* st) { st->FileObject = file; },
                               nullptr, STATUS_SUCCESS);
}

FileRecord* RecordOf(FILE_OBJECT* file) { return static_cast<FileRecord*>(file->Internal); }

// Adds a user unless the handle is closed or the file already went to IRP_MJ_CLOSE: once the
// count has reached 0 it never rises again.
bool TakeFileUser(FILE_OBJECT* file) {
  FileRecord* record = RecordOf(file);
  int users = record->users.load();
  while (users > 0 && !record->cleaned_up.load())
    if (record->users.compare_exchange_weak(users, users + 1)) return true;
  return false;
}

// Drops one user of |file|; the last one sends IRP_MJ_CLOSE and lets the file object go.
void ReleaseFile(FILE_OBJECT* file) {
  FileRecord* record = RecordOf(file);
  if (record->users.fetch_sub(1) != 1) return;
  DEVICE_OBJECT* device = file->DeviceObject;
  DEVICE_OBJECT* pdo = record->pdo;
  SendFileRequest(file, IRP_MJ_CLOSE);
  ObDereferenceObject(file);
  internal::FileClosed(pdo);
  ObDereferenceObject(device);
}

}  // namespace

NTSTATUS Open(WStringView path, FILE_OBJECT** file) {
  *file = nullptr;
  DEVICE_OBJECT* device = interfaces::OpenLink(path);
  WString name;
  for (size_t pos = path.size(); !device && pos > 4; --pos) {
    if (path[pos - 1] != u'\\') continue;
    device = interfaces::OpenLink(path.substr(0, pos - 1));
    if (device) name = WString(path.substr(pos - 1));
  }
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* f = new FILE_OBJECT{};
  auto* record = new FileRecord;
  record->name = name;
  record->pdo = internal::StackBottom(device);
  f->Type = 5;
  f->Size = sizeof(FILE_OBJECT);
  f->DeviceObject = device;
  f->Internal = record;
  f->FileName.Buffer = record->name.empty() ? nullptr : record->name.data();
  f->FileName.Length = static_cast<USHORT>(record->name.size() * 2);
  f->FileName.MaximumLength = f->FileName.Length;
  internal::RegisterObject(f, *IoFileObjectType, DestroyFile);
  NTSTATUS status = SendFileRequest(f, IRP_MJ_CREATE);
  if (!NT_SUCCESS(status)) {
    ObDereferenceObject(f);
    ObDereferenceObject(device);
    return status;
  }
  internal::FileOpened(record->pdo);
  *file = f;
  return status;
}

void Close(FILE_OBJECT* file) {
  RecordOf(file)->cleaned_up.store(true);
  SendFileRequest(file, IRP_MJ_CLEANUP);
  ReleaseFile(file);
}

std::unique_ptr<Request> Request::DeviceControl(FILE_OBJECT* file, ULONG code, const void* input,
                                                ULONG input_length, void* output, ULONG output_length,
                                                bool internal_request) {
  std::unique_ptr<Request> r(new Request);
  KeInitializeEvent(&r->done_, NotificationEvent, FALSE);
  // A handle already closed sends nothing more.
  if (!TakeFileUser(file)) {
    r->status_ = r->dispatch_status_ = STATUS_INVALID_HANDLE;
    r->finished_ = true;
    return r;
  }
  DEVICE_OBJECT* device = file->DeviceObject;
  IRP* irp = internal::AllocateManagedIrp(device->StackSize, &Request::Done, r.get());
  if (!irp) {
    ReleaseFile(file);
    r->status_ = r->dispatch_status_ = STATUS_INSUFFICIENT_RESOURCES;
    r->finished_ = true;
    return r;
  }
  r->irp_ = irp;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
  st->MajorFunction = internal_request ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  st->FileObject = file;
  st->Parameters.DeviceIoControl.IoControlCode = code;
  st->Parameters.DeviceIoControl.InputBufferLength = input_length;
  st->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  ULONG method = IoControlMethod(code);
  r->output_ = output;
  r->output_length_ = output_length;
  if (method == METHOD_NEITHER) {
    st->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
    irp->UserBuffer = output;
  } else {
    r->buffered_ = method == METHOD_BUFFERED;
    ULONG length = r->buffered_ ? std::max(input_length, output_length) : input_length;
    if (length) {
      irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx | POOL_ZERO_ALLOCATION, length, kBufferTag);
      // No system buffer: the request fails before it reaches the driver, as the I/O manager
      // fails it, instead of copying the input into nothing.
      if (!irp->AssociatedIrp.SystemBuffer) {
        IoFreeIrp(irp);
        ReleaseFile(file);
        r->irp_ = nullptr;
        r->status_ = r->dispatch_status_ = STATUS_INSUFFICIENT_RESOURCES;
        r->finished_ = true;
        return r;
      }
      if (input && input_length) std::memcpy(irp->AssociatedIrp.SystemBuffer, input, input_length);
    }
    if (!r->buffered_ && output && output_length) irp->MdlAddress = IoAllocateMdl(output, output_length, FALSE, FALSE, nullptr);
    irp->UserBuffer = output;
  }
  r->file_ = file;
  r->dispatch_status_ = IoCallDriver(device, irp);
  return r;
}

void Request::Done(IRP*, void* context) {
  KeSetEvent(&static_cast<Request*>(context)->done_, 0, FALSE);
}

void Request::Finish() {
  if (finished_) return;
  finished_ = true;
  status_ = irp_->IoStatus.Status;
  information_ = irp_->IoStatus.Information;
  if (buffered_ && !NT_ERROR(status_)) internal::CopyBack(irp_, output_, output_length_);
  if (irp_->AssociatedIrp.SystemBuffer) ExFreePoolWithTag(irp_->AssociatedIrp.SystemBuffer, kBufferTag);
  if (irp_->MdlAddress) IoFreeMdl(irp_->MdlAddress);
  irp_->AssociatedIrp.SystemBuffer = nullptr;
  irp_->MdlAddress = nullptr;
  IoFreeIrp(irp_);
  irp_ = nullptr;
  if (FILE_OBJECT* file = file_) {
    file_ = nullptr;
    ReleaseFile(file);
  }
}

bool Request::Wait(clock::Duration timeout) {
  if (finished_) return true;
  LARGE_INTEGER t;
  t.QuadPart = -(timeout.count() / 100);
  NTSTATUS s = KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, timeout.count() < 0 ? nullptr : &t);
  if (s != STATUS_SUCCESS) return false;
  Finish();
  return true;
}

void Request::Cancel() {
  if (!finished_ && irp_) IoCancelIrp(irp_);
}

Request::~Request() {
  if (!finished_ && !Wait(std::chrono::seconds(600))) {
    ReportViolation("device-control request never completed");
    return;  // leaks the IRP rather than freeing it under the driver
  }
}

NTSTATUS DeviceControl(FILE_OBJECT* file, ULONG code, const void* input, ULONG input_length,
                       void* output, ULONG output_length, ULONG_PTR* information) {
  auto r = Request::DeviceControl(file, code, input, input_length, output, output_length);
  r->Wait();
  if (information) *information = r->information();
  return r->status();
}

}  // namespace vorn::kernel::io
