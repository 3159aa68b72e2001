#include "platform/win32/file_api.h"

#include <atomic>
#include <mutex>

#include "platform/win32/device_bridge.h"

namespace vorn::win32 {
namespace {

constexpr ObjectType kDeviceFileType = static_cast<ObjectType>(0x10);

// A device handle: the kernel's file object, kept alive by a reference of its own so that a
// call racing with CloseHandle finds a closed file (and fails) instead of a freed one.
class DeviceFile : public Object {
 public:
  explicit DeviceFile(bridge::KernelFile file) : file_(file) { bridge::Reference(file_); }
  ~DeviceFile() override {
    CloseOnce();
    bridge::Dereference(file_);
  }
  ObjectType Type() const override { return kDeviceFileType; }
  bool Close() override {
    CloseOnce();
    return true;
  }
  bridge::KernelFile file() const { return file_; }

 private:
  void CloseOnce() {
    if (!closed_.exchange(true)) bridge::Close(file_);
  }

  const bridge::KernelFile file_;
  std::atomic<bool> closed_{false};
};

struct StatusError {
  NTSTATUS status;
  DWORD error;
};

constexpr StatusError kStatusErrors[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_PARAMETER_1, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_PARAMETER_2, ERROR_INVALID_PARAMETER},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_INFO_LENGTH_MISMATCH, ERROR_BAD_LENGTH},
    {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
    {STATUS_INVALID_USER_BUFFER, ERROR_INVALID_USER_BUFFER},
    {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_ALREADY_COMMITTED, ERROR_ACCESS_DENIED},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_POWER_STATE_INVALID, ERROR_NOT_READY},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    {STATUS_DATA_ERROR, ERROR_CRC},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
    {STATUS_INTERNAL_ERROR, ERROR_INTERNAL_ERROR},
};

}  // namespace

void* KernelFileOfHandle(HANDLE device) {
  std::shared_ptr<DeviceFile> file = ReferenceObjectAs<DeviceFile>(device);
  return file ? file->file() : nullptr;
}

DWORD Win32ErrorFromNtStatus(NTSTATUS status) {
  for (const StatusError& e : kStatusErrors)
    if (e.status == status) return e.error;
  return ERROR_MR_MID_NOT_FOUND;
}

}  // namespace vorn::win32

HANDLE CreateFileW(LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE) {
  using namespace vorn;
  if (!path || disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  win32::bridge::KernelFile file = nullptr;
  NTSTATUS status = win32::bridge::Open(WStringView(path), &file);
  if (!NT_SUCCESS(status)) {
    SetLastError(win32::Win32ErrorFromNtStatus(status));
    return INVALID_HANDLE_VALUE;
  }
  auto object = std::make_shared<win32::DeviceFile>(file);
  HANDLE handle = win32::InsertObject(object);
  if (!handle) return INVALID_HANDLE_VALUE;  // the object's end closes the file
  return handle;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD input_length, LPVOID output,
                     DWORD output_length, LPDWORD bytes_returned, LPOVERLAPPED overlapped) {
  using namespace vorn;
  if (bytes_returned) *bytes_returned = 0;
  std::shared_ptr<win32::DeviceFile> file = win32::ReferenceObjectAs<win32::DeviceFile>(device);
  if (!file) return FALSE;
  if (overlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if ((!input && input_length) || (!output && output_length)) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  ULONG_PTR information = 0;
  NTSTATUS status = win32::bridge::DeviceControl(file->file(), code, input, input_length, output,
                                                 output_length, &information);
  if (NT_ERROR(status)) {
    SetLastError(win32::Win32ErrorFromNtStatus(status));
    return FALSE;
  }
  if (bytes_returned) *bytes_returned = static_cast<DWORD>(information);
  if (NT_SUCCESS(status)) return TRUE;
  SetLastError(win32::Win32ErrorFromNtStatus(status));  // a warning: data came, but not all
  return FALSE;
}
