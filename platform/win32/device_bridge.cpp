#include "platform/win32/device_bridge.h"

#include "platform/kernel/io.h"
#include "platform/kernel/object.h"

namespace vorn::win32::bridge {

NTSTATUS Open(WStringView path, KernelFile* file) {
  FILE_OBJECT* f = nullptr;
  NTSTATUS status = kernel::io::Open(path, &f);
  *file = f;
  return status;
}

void Close(KernelFile file) { kernel::io::Close(static_cast<FILE_OBJECT*>(file)); }

void Reference(KernelFile file) { ObReferenceObject(file); }

void Dereference(KernelFile file) { ObDereferenceObject(file); }

NTSTATUS DeviceControl(KernelFile file, ULONG code, const void* input, ULONG input_length,
                       void* output, ULONG output_length, ULONG_PTR* information) {
  return kernel::io::DeviceControl(static_cast<FILE_OBJECT*>(file), code, input, input_length,
                                   output, output_length, information);
}

}  // namespace vorn::win32::bridge
