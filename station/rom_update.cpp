// The automatic ROM update of the worker's first run, and the flags and paths behind it. Each
// firmware file named under the project's firmware key is read and checked (size, header,
// project code, version, checksum, end mark, descriptor section) before RomWriteImage sends
// it; every step is recorded in RomState, a failing one in RomError.
#include <cstring>

#include "platform/kernel/object.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/sync.h"
#include "protocol/vendor_request.h"
#include "station/driver_globals.h"
#include "station/files.h"
#include "station/kernel_utils.h"
#include "station/registry.h"
#include "station/rom.h"
#include "station/rom_image.h"
#include "station/rom_internal.h"
#include "station/station_start.h"
#include "station/worker.h"

namespace vorn::station {
namespace {

void EnsureFirmwareParents();

constexpr UCHAR kFlagBootCode = 1u << 0;
constexpr UCHAR kFlagImage = 1u << 1;
constexpr UCHAR kFlagReset = 1u << 2;
constexpr ULONG kFirstBootUpdateCmdVersion = 2;
constexpr ULONG kFirstAllowedImageCode = 0x16080000;
constexpr ULONG kFunctionInfoBytes = 132;
constexpr ULONG kRegistryPathBytes = 1024;
constexpr ULONG kControlPathBytes = 500;

// A path read from the firmware key: up to 1024 bytes, always terminated behind them.
struct RegistryPath {
  WCHAR text[kRegistryPathBytes / 2 + 1] = {};
  bool Empty() const { return text[0] == 0; }
  WStringView View() const { return WStringView(text, kRegistryPathBytes / 2); }
};

void ReadPath(StationExtension* station, const char16_t* name, RegistryPath* path) {
  std::memset(path->text, 0, sizeof path->text);
  if (!station->FirmwareKeyPath[0]) return;  // no project: no firmware key
  ReadFirmwareValue(station->FirmwareKeyPath, name, REG_SZ, kRegistryPathBytes, path->text);
  path->text[kRegistryPathBytes / 2] = 0;
}

// Which root a file is opened under.
enum class Root { kDos, kSystemRoot };

NTSTATUS FileSize(Root root, WStringView path, LONGLONG* size) {
  return root == Root::kDos ? QueryDosFileSize(path, size) : QuerySystemRootFileSize(path, size);
}

// Reads exactly |length| bytes at |offset|; a short read fails.
NTSTATUS ReadExactly(Root root, WStringView path, LONGLONG offset, void* buffer, ULONG length) {
  ULONG got = 0;
  NTSTATUS status = root == Root::kDos ? ReadDosFile(path, offset, buffer, length, &got)
                                       : ReadSystemRootFile(path, offset, buffer, length, &got);
  if (NT_SUCCESS(status) && got != length) status = STATUS_END_OF_FILE;
  return status;
}

// Fails the update at |step|.
bool Fail(StationExtension* station, ULONG step) {
  SetRomError(station, step);
  return false;
}

// RomBuffer of |size| bytes, zeroed; RomError 11 when it exists already or there is no memory.
bool AllocateRomBuffer(StationExtension* station, ULONG size) {
  SetRomState(station, kRomBufferAllocated);
  if (station->RomBuffer) return Fail(station, kRomBufferAllocated);  // STATUS_DEVICE_BUSY
  PVOID buffer = AllocatePool(NonPagedPoolNx, size, kTagRomBuffer);
  if (!buffer) return Fail(station, kRomBufferAllocated);  // STATUS_INSUFFICIENT_RESOURCES
  KIRQL irql;
  KeAcquireSpinLock(&station->RomBufferLock, &irql);
  station->RomBuffer = buffer;
  KeReleaseSpinLock(&station->RomBufferLock, irql);
  return true;
}

void FreeRomBuffer(StationExtension* station) {
  KIRQL irql;
  KeAcquireSpinLock(&station->RomBufferLock, &irql);
  PVOID buffer = station->RomBuffer;
  station->RomBuffer = nullptr;
  KeReleaseSpinLock(&station->RomBufferLock, irql);
  if (buffer) ExFreePoolWithTag(buffer, kTagRomBuffer);
}

// Holds RomMutex (without limit) for one update; frees RomBuffer when the update ends.
class RomUpdateScope {
 public:
  explicit RomUpdateScope(StationExtension* station) : station_(station) {
    KeWaitForSingleObject(&station_->RomMutex, Executive, KernelMode, FALSE, nullptr);
    busy_ = station_->RomBuffer != nullptr;
  }
  ~RomUpdateScope() {
    if (owns_buffer_) FreeRomBuffer(station_);
    KeReleaseMutex(&station_->RomMutex, FALSE);
  }
  RomUpdateScope(const RomUpdateScope&) = delete;
  RomUpdateScope& operator=(const RomUpdateScope&) = delete;
  bool busy() const { return busy_; }
  bool Allocate(ULONG size) { return owns_buffer_ = AllocateRomBuffer(station_, size); }
  UCHAR* buffer() const { return static_cast<UCHAR*>(station_->RomBuffer); }

 private:
  StationExtension* station_;
  bool busy_ = false;
  bool owns_buffer_ = false;
};

// A file's size as a 32-bit count; RomError 5 when it cannot be had.
bool SizeOf(StationExtension* station, Root root, WStringView path, LONGLONG* size) {
  if (!NT_SUCCESS(FileSize(root, path, size)) || *size < 0) return Fail(station, kRomFileSize);
  return true;
}

// The header rules every image file passes: read whole, the station's project, newer than
// the chip's image unless forced. |*go_on| false: the image is not newer (no error).
bool ReadAndCheckHeader(StationExtension* station, Root root, WStringView path,
                        UCHAR (&header)[kRomImageHeaderBytes], bool* go_on) {
  *go_on = false;
  SetRomState(station, kRomHeaderRead);
  if (!NT_SUCCESS(ReadExactly(root, path, 0, header, sizeof header)))
    return Fail(station, kRomHeaderRead);
  if (std::memcmp(header + kImageProjectOffset, station->PrjCode, kImageProjectBytes) != 0)
    return Fail(station, kRomProjectCode);
  SetRomState(station, kRomVersionCheck);
  const ULONG version = LoadU32(header + kImageVersionOffset);
  *go_on = station->ImageCodeVersion < version || g_StationGlobals->ForcedUpdateFW;
  return true;
}

// End mark, checksum and (when ValidateRomSection is set) the descriptor section, with the
// header rules first when |with_header|.
bool CheckImage(StationExtension* station, const UCHAR* image, ULONG size, bool with_header) {
  if (with_header) {
    SetRomState(station, kRomHeaderCheck);
    if (!NT_SUCCESS(CheckImageHeader(image, size))) return Fail(station, kRomHeaderCheck);
  }
  SetRomState(station, kRomImageCheck);
  if (!NT_SUCCESS(CheckImageEnd(image, size))) return Fail(station, kRomImageCheck);
  if (g_StationGlobals->ValidateRomSection) {
    SetRomState(station, kRomSectionCheck);
    if (!NT_SUCCESS(CheckUhalSection(image, size))) return Fail(station, kRomSectionCheck);
  }
  return true;
}

bool RomImageAllowed(StationExtension* station) {
  if (station->ImageCodeVersion < kFirstAllowedImageCode) return false;
  UCHAR answer[kFunctionInfoBytes] = {};
  if (!NT_SUCCESS(RomVendorRequest(station, true, protocol::ReqReadFunctionInfo, 0, 0, answer,
                                   sizeof answer, 0)))
    return false;
  return LoadU16(answer) == station->DeviceDescriptor.idVendor;
}

}  // namespace

bool UpdateBootCode(StationExtension* station, WStringView path) {
  RomUpdateScope scope(station);
  if (scope.busy()) return false;
  LONGLONG size = 0;
  SetRomState(station, kRomFileSize);
  if (!SizeOf(station, Root::kDos, path, &size)) return false;
  SetRomState(station, kRomSizeCheck);
  if (size < kMinBootFileBytes || size % kRomBlockBytes || size > 0xFFFFFFFFll)
    return Fail(station, kRomSizeCheck);
  const ULONG length = static_cast<ULONG>(size);
  if (!scope.Allocate(length)) return false;
  SetRomState(station, kRomFileRead);
  if (!NT_SUCCESS(ReadExactly(Root::kDos, path, 0, scope.buffer(), length)))
    return Fail(station, kRomFileRead);
  // A boot file carries its version in a BOOT block; a file without one is no boot code.
  ULONG version = 0;
  SetRomState(station, kRomImageCheck);
  if (!FindBootVersion(scope.buffer(), length, &version)) return Fail(station, kRomImageCheck);
  // The chip runs this boot code already: rewriting it would only wear the ROM.
  SetRomState(station, kRomVersionCheck);
  if (version == station->BootCodeVersion && !g_StationGlobals->ForcedUpdateFW) return false;
  return NT_SUCCESS(RomWriteImage(station, kRomTargetBoot, FALSE, version, scope.buffer(), length));
}

bool UpdateImage(StationExtension* station, WStringView path, bool reset) {
  RomUpdateScope scope(station);
  if (scope.busy()) return false;
  const Root root = path.size() && path[0] == u'%' ? Root::kSystemRoot : Root::kDos;
  LONGLONG size = 0;
  SetRomState(station, kRomFileSize);
  if (!SizeOf(station, root, path, &size)) return false;
  SetRomState(station, kRomSizeCheck);
  if (size < kRomImageHeaderBytes) return Fail(station, kRomSizeCheck);
  UCHAR header[kRomImageHeaderBytes];
  bool go_on = false;
  if (!ReadAndCheckHeader(station, root, path, header, &go_on) || !go_on) return false;
  SetRomState(station, kRomHeaderCheck);
  if (!NT_SUCCESS(CheckImageHeader(header, static_cast<ULONGLONG>(size))))
    return Fail(station, kRomHeaderCheck);
  const ULONG image_size = LoadU32(header + kImageSizeOffset);
  if (!scope.Allocate(image_size)) return false;
  std::memcpy(scope.buffer(), header, sizeof header);
  SetRomState(station, kRomFileRead);
  if (!NT_SUCCESS(ReadExactly(root, path, kRomImageHeaderBytes, scope.buffer() + sizeof header,
                              image_size - kRomImageHeaderBytes)))
    return Fail(station, kRomFileRead);
  if (!CheckImage(station, scope.buffer(), image_size, false)) return false;
  return NT_SUCCESS(RomWriteImage(station, kRomTargetImage, reset, LoadU32(header + kImageVersionOffset),
                                  scope.buffer(), image_size));
}

bool UpdateImageTwoPart(StationExtension* station, WStringView code_path, WStringView data_path,
                        bool reset) {
  RomUpdateScope scope(station);
  if (scope.busy()) return false;
  // The data file holds the header and the first part, the code file the second part.
  LONGLONG first = 0, second = 0;
  SetRomState(station, kRomFileSize);
  if (!SizeOf(station, Root::kDos, data_path, &first) ||
      !SizeOf(station, Root::kDos, code_path, &second))
    return false;
  SetRomState(station, kRomSizeCheck);
  if (first < kRomImageHeaderBytes || first % kRomBlockBytes) return Fail(station, kRomSizeCheck);
  UCHAR header[kRomImageHeaderBytes];
  bool go_on = false;
  if (!ReadAndCheckHeader(station, Root::kDos, data_path, header, &go_on) || !go_on) return false;

  SetRomState(station, kRomHeaderCheck);
  const ULONGLONG total =
      (static_cast<ULONGLONG>(first) + static_cast<ULONGLONG>(second) + 4 + kRomBlockBytes - 1) /
      kRomBlockBytes * kRomBlockBytes;
  const ULONG image_size = LoadU32(header + kImageSizeOffset);
  const ULONG code_size = LoadU32(header + kImageCodeSizeOffset);
  const ULONG data_size = LoadU32(header + kImageDataSizeOffset);
  if (!NT_SUCCESS(CheckImageHeader(header, total)) || code_size != first ||
      static_cast<ULONGLONG>(second) < data_size || image_size < total)
    return Fail(station, kRomHeaderCheck);

  if (!scope.Allocate(image_size)) return false;
  UCHAR* image = scope.buffer();
  std::memcpy(image, header, sizeof header);
  SetRomState(station, kRomFileRead);
  if (!NT_SUCCESS(ReadExactly(Root::kDos, data_path, kRomImageHeaderBytes,
                              image + kRomImageHeaderBytes, code_size - kRomImageHeaderBytes)) ||
      !NT_SUCCESS(ReadExactly(Root::kDos, code_path, 0, image + code_size, data_size)))
    return Fail(station, kRomFileRead);
  std::memcpy(image + image_size - 4, "ENDI", 4);
  if (!CheckImage(station, image, image_size, true)) return false;
  return NT_SUCCESS(RomWriteImage(station, kRomTargetImage, reset,
                                  LoadU32(header + kImageVersionOffset), image, image_size));
}

bool RomAutoUpdate(StationExtension* station) {
  SetRomState(station, kRomUpdateStarted);
  const UCHAR flags = station->DeviceRomAutoUpdateFlags;
  const bool reset = (flags & kFlagReset) != 0;
  RegistryPath path;
  if ((flags & kFlagBootCode) && station->VendorCmdVersion >= kFirstBootUpdateCmdVersion) {
    ReadPath(station, u"BootPath", &path);
    if (!path.Empty() && UpdateBootCode(station, path.View())) return true;
  }
  if (!(flags & kFlagImage)) return false;
  RegistryPath code, data;
  ReadPath(station, u"ImageCodePath", &code);
  ReadPath(station, u"ImageDataPath", &data);
  if (!code.Empty() && !data.Empty())
    return UpdateImageTwoPart(station, code.View(), data.View(), reset) && reset;
  ReadPath(station, u"ImagePath", &path);
  if (!path.Empty() && RomImageAllowed(station) && UpdateImage(station, path.View(), reset))
    return reset;
  return false;
}

NTSTATUS SetRomAutoUpdateFlags(StationExtension* station, UCHAR global, UCHAR value) {
  if (!station) return STATUS_INVALID_PARAMETER;
  station->DeviceRomAutoUpdateFlags = value;
  if (station->FirmwareKeyPath[0]) {
    EnsureFirmwareParents();
    WriteFirmwareValue(station->FirmwareKeyPath, u"RomAutoUpdateFlags", REG_BINARY, 1, &value);
  }
  if (global) {
    g_StationGlobals->RomAutoUpdateFlags = value;
    WriteParameter(u"RomAutoUpdateFlags", REG_BINARY, 1, &value);
  }
  return STATUS_SUCCESS;
}

NTSTATUS GetRomAutoUpdateFlags(StationExtension* station, UCHAR global, UCHAR* value) {
  if (!station || !value) return STATUS_INVALID_PARAMETER;
  *value = global ? g_StationGlobals->RomAutoUpdateFlags : station->DeviceRomAutoUpdateFlags;
  return STATUS_SUCCESS;
}

namespace {

// The keys above a firmware key ("Parameters", then "Parameters\Firmware"), created when
// missing: a key is only created under a parent that exists.
void EnsureFirmwareParents() {
  constexpr size_t kMaxChars = 512;
  const UNICODE_STRING& root = g_DriverServices->RegistryPath;
  const size_t root_chars = root.Length / 2;
  for (const char16_t* subkey : {kParametersKey, kFirmwareKey}) {
    WCHAR text[kMaxChars];
    size_t n = 0;
    if (root_chars + 1 + 20 >= kMaxChars || !root.Buffer) return;
    for (size_t i = 0; i < root_chars; ++i) text[n++] = root.Buffer[i];
    text[n++] = u'\\';
    for (const char16_t* p = subkey; *p && n + 1 < kMaxChars; ++p) text[n++] = *p;
    text[n] = 0;
    UNICODE_STRING name;
    name.Buffer = text;
    name.Length = static_cast<USHORT>(n * 2);
    name.MaximumLength = static_cast<USHORT>(n * 2 + 2);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    if (NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr,
                               REG_OPTION_NON_VOLATILE, &disposition)))
      ZwClose(key);
  }
}

// The firmware key and value a ROM path of |target| lives in.
NTSTATUS RomPathValue(UCHAR target, const UCHAR* project_code,
                      WCHAR (&key)[kFirmwareKeyPathChars], const char16_t** name) {
  if (!project_code) return STATUS_INVALID_PARAMETER;
  if (target == kRomTargetBoot) {
    *name = u"BootPath";
  } else if (target == kRomTargetImage) {
    *name = u"ImagePath";
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR code[kProjectCodeBytes];
  std::memcpy(code, project_code, sizeof code);
  // Every character of the code must have its place in a key name: a separator would make
  // the code name another project's key.
  for (ULONG i = 0; i < kProjectCodeBytes && code[i]; ++i)
    if (code[i] < 0x20 || code[i] >= 0x7F || code[i] == '\\') return STATUS_INVALID_PARAMETER;
  // A code that names no key of its own (empty, or with a separator) reaches no other key.
  return FormatFirmwareKeyPath(code, key) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

}  // namespace

NTSTATUS SetRomPath(StationExtension* station, UCHAR target, const UCHAR* project_code,
                    const WCHAR* path, ULONG path_bytes) {
  WCHAR key[kFirmwareKeyPathChars];
  const char16_t* name = nullptr;
  NTSTATUS status = RomPathValue(target, project_code, key, &name);
  if (!NT_SUCCESS(status)) return status;
  if (!station || !path) return STATUS_INVALID_PARAMETER;
  // The caller's path up to its first zero and never past its 500 bytes, stored terminated.
  const ULONG chars = (path_bytes < kControlPathBytes ? path_bytes : kControlPathBytes) / 2;
  WCHAR text[kControlPathBytes / 2 + 1] = {};
  ULONG n = 0;
  while (n < chars && path[n]) {
    text[n] = path[n];
    ++n;
  }
  EnsureFirmwareParents();
  return WriteFirmwareValue(key, name, REG_SZ, (n + 1) * 2, text);
}

NTSTATUS GetRomPath(StationExtension* station, UCHAR target, const UCHAR* project_code,
                    WCHAR* path, ULONG path_bytes) {
  WCHAR key[kFirmwareKeyPathChars];
  const char16_t* name = nullptr;
  NTSTATUS status = RomPathValue(target, project_code, key, &name);
  if (!NT_SUCCESS(status)) return status;
  if (!station || !path || !path_bytes) return STATUS_INVALID_PARAMETER;
  const ULONG bytes = path_bytes < kControlPathBytes ? path_bytes : kControlPathBytes;
  std::memset(path, 0, bytes);
  return ReadFirmwareValue(key, name, REG_SZ, bytes, path);
}

}  // namespace vorn::station
