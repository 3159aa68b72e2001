// The few kernel calls behind the device handles of file_api.cpp, in terms free of kernel
// types (the kernel's and the user-mode services' headers do not mix in one source file).
#pragma once

#include "platform/nt/types.h"

namespace vorn::win32::bridge {

// A kernel file object, opaque here.
using KernelFile = void*;

NTSTATUS Open(WStringView path, KernelFile* file);
void Close(KernelFile file);  // cleanup now, close once no request is in flight
void Reference(KernelFile file);
void Dereference(KernelFile file);
NTSTATUS DeviceControl(KernelFile file, ULONG code, const void* input, ULONG input_length,
                       void* output, ULONG output_length, ULONG_PTR* information);

}  // namespace vorn::win32::bridge
