#include "station/files.h"

#include <algorithm>
#include <cstring>

#include "platform/kernel/files.h"
#include "platform/kernel/sync.h"

namespace vorn::station {
namespace {

constexpr WStringView kDosDevicesPrefix = u"\\DosDevices\\";
constexpr WStringView kSystemRootPrefix = u"\\SystemRoot\\";
constexpr size_t kPrefixChars = 12;
static_assert(kDosDevicesPrefix.size() == kPrefixChars && kSystemRootPrefix.size() == kPrefixChars);

enum class FileRoot { kDosDevices, kSystemRoot };

// A full file name in a local buffer: prefix, at most kMaxFilePathChars of path, terminator.
struct FileName {
  char16_t text[kPrefixChars + kMaxFilePathChars + 1];
  UNICODE_STRING name;
};

// The caller's path up to its first zero character, never past its buffer.
WStringView Terminated(WStringView path) {
  size_t end = path.find(u'\0');
  return end == WStringView::npos ? path : path.substr(0, end);
}

NTSTATUS BuildFileName(FileRoot root, WStringView path, FileName* out) {
  WStringView rest = Terminated(path);
  if (rest.empty()) return STATUS_INVALID_PARAMETER;
  WStringView prefix = kDosDevicesPrefix;
  if (root == FileRoot::kSystemRoot) {
    // Nothing would be left after the environment prefix: no file is named.
    if (rest.size() <= kEnvironmentPrefixChars) return STATUS_OBJECT_NAME_INVALID;
    rest.remove_prefix(kEnvironmentPrefixChars);
    prefix = kSystemRootPrefix;
  }
  if (rest.size() > kMaxFilePathChars) return STATUS_OBJECT_NAME_INVALID;
  std::memcpy(out->text, prefix.data(), prefix.size() * 2);
  std::memcpy(out->text + prefix.size(), rest.data(), rest.size() * 2);
  size_t chars = prefix.size() + rest.size();
  out->text[chars] = 0;
  out->name.Buffer = out->text;
  out->name.Length = static_cast<USHORT>(chars * 2);
  out->name.MaximumLength = static_cast<USHORT>(chars * 2 + 2);
  return STATUS_SUCCESS;
}

// Opens the named file for reading: existing files only, shared for reading, synchronous.
NTSTATUS OpenFile(FileRoot root, WStringView path, HANDLE* file) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
  FileName name;
  NTSTATUS status = BuildFileName(root, path, &name);
  if (!NT_SUCCESS(status)) return status;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name.name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  return ZwCreateFile(file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr,
                      FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
}

NTSTATUS QuerySize(FileRoot root, WStringView path, LONGLONG* size) {
  if (!size) return STATUS_INVALID_PARAMETER;
  HANDLE file = nullptr;
  NTSTATUS status = OpenFile(root, path, &file);
  if (!NT_SUCCESS(status)) return status;
  FILE_STANDARD_INFORMATION info{};
  IO_STATUS_BLOCK io{};
  status = ZwQueryInformationFile(file, &io, &info, sizeof info, FileStandardInformation);
  if (NT_SUCCESS(status)) {
    if (info.DeletePending || info.Directory) {
      status = STATUS_UNSUCCESSFUL;
    } else {
      *size = info.EndOfFile.QuadPart;
      status = STATUS_SUCCESS;
    }
  }
  ZwClose(file);
  return status;
}

NTSTATUS ReadAt(FileRoot root, WStringView path, LONGLONG offset, void* buffer, ULONG length,
                ULONG* bytes_read) {
  if (!bytes_read || (!buffer && length != 0) || offset < 0) return STATUS_INVALID_PARAMETER;
  *bytes_read = 0;
  HANDLE file = nullptr;
  NTSTATUS status = OpenFile(root, path, &file);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK io{};
  LARGE_INTEGER byte_offset;
  byte_offset.QuadPart = offset;
  status = ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, length, &byte_offset, nullptr);
  if (NT_SUCCESS(status)) {
    // Never report more than was asked for, whatever the file system says.
    *bytes_read = static_cast<ULONG>(std::min<ULONG_PTR>(io.Information, length));
    status = STATUS_SUCCESS;
  }
  ZwClose(file);
  return status;
}

}  // namespace

NTSTATUS QueryDosFileSize(WStringView path, LONGLONG* size) {
  return QuerySize(FileRoot::kDosDevices, path, size);
}

NTSTATUS QuerySystemRootFileSize(WStringView path, LONGLONG* size) {
  return QuerySize(FileRoot::kSystemRoot, path, size);
}

NTSTATUS ReadDosFile(WStringView path, LONGLONG offset, void* buffer, ULONG length,
                     ULONG* bytes_read) {
  return ReadAt(FileRoot::kDosDevices, path, offset, buffer, length, bytes_read);
}

NTSTATUS ReadSystemRootFile(WStringView path, LONGLONG offset, void* buffer, ULONG length,
                            ULONG* bytes_read) {
  return ReadAt(FileRoot::kSystemRoot, path, offset, buffer, length, bytes_read);
}

}  // namespace vorn::station
