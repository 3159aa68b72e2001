// Files as a driver opens them: "\DosDevices\C:\fw\image.bin" (or "\??\C:\...") and
// "\SystemRoot\fw\image.bin", mapped into a test folder (<root>/C/fw/image.bin,
// <root>/SystemRoot/fw/image.bin) and matched without regard to case. Read-only: open an
// existing file, query its size, read at an offset, close.
#pragma once

#include <string>

#include "platform/kernel/object.h"

constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr ULONG FILE_OPEN = 0x1;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x20;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x40;

enum FILE_INFORMATION_CLASS { FileStandardInformation = 5 };

struct FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
};
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24);

using PIO_APC_ROUTINE = void (*)(PVOID, IO_STATUS_BLOCK*, ULONG);

// Only FILE_OPEN; a missing file is STATUS_OBJECT_NAME_NOT_FOUND, a missing folder
// STATUS_OBJECT_PATH_NOT_FOUND, a folder opened with FILE_NON_DIRECTORY_FILE
// STATUS_FILE_IS_A_DIRECTORY. PASSIVE_LEVEL.
NTSTATUS ZwCreateFile(PHANDLE file, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                      IO_STATUS_BLOCK* io_status, LARGE_INTEGER* allocation_size,
                      ULONG file_attributes, ULONG share_access, ULONG disposition,
                      ULONG options, PVOID ea_buffer, ULONG ea_length);
NTSTATUS ZwQueryInformationFile(HANDLE file, IO_STATUS_BLOCK* io_status, PVOID info,
                                ULONG length, FILE_INFORMATION_CLASS cls);
// Reads at |offset| (the current position when null); STATUS_END_OF_FILE at or past the end.
NTSTATUS ZwReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                    IO_STATUS_BLOCK* io_status, PVOID buffer, ULONG length,
                    LARGE_INTEGER* offset, ULONG* key);

namespace vorn::kernel::files {
// The test folder behind both prefixes.
void SetRoot(const std::string& folder);
std::string Root();
// The host path a kernel file name maps to, or "" when it has neither prefix.
std::string HostPath(WStringView kernel_name);
}  // namespace vorn::kernel::files
