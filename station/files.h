// Reading firmware files. A file is named either "\DosDevices\" + path, or "\SystemRoot\" +
// the path from its fourteenth character (the caller's path then starts with a 13-character
// environment prefix such as "%SystemRoot%\", which is dropped). PASSIVE_LEVEL only.
//
// |path| is the caller's whole buffer: the name ends at its first zero character or at the
// end of the buffer, so a path read from the registry without a terminator is never read
// past. At most kMaxFilePathChars characters follow the prefix; a longer name is refused
// rather than cut, so no other file than the one named is ever opened.
#pragma once

#include "platform/kernel/base.h"

namespace vorn::station {

constexpr size_t kMaxFilePathChars = 500;
constexpr size_t kEnvironmentPrefixChars = 13;

// The file's size (end of file). A directory or a file pending deletion: STATUS_UNSUCCESSFUL.
NTSTATUS QueryDosFileSize(WStringView path, LONGLONG* size);
NTSTATUS QuerySystemRootFileSize(WStringView path, LONGLONG* size);

// One synchronous read of |length| bytes at byte |offset|; |*bytes_read| = what the read
// returned. A short read is a success; a read that starts at or past the end of the file
// fails with the file system's status.
NTSTATUS ReadDosFile(WStringView path, LONGLONG offset, void* buffer, ULONG length,
                     ULONG* bytes_read);
NTSTATUS ReadSystemRootFile(WStringView path, LONGLONG offset, void* buffer, ULONG length,
                            ULONG* bytes_read);

}  // namespace vorn::station
