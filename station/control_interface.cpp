// The control interface's handles and the file sessions they bind: create, cleanup and close,
// and the ten sessions by name.
#include "station/control_interface.h"

#include "station/dispatch.h"
#include "station/kernel_utils.h"

namespace vorn::station {
namespace {

struct SessionEntry {
  const char16_t* name;
  ULONG id;
};

// By index; session 8 shares its name with session 3, so no name ever finds it.
constexpr SessionEntry kSessionTable[kFileSessionCount] = {
    {u"display", 0}, {u"usbhost", 1}, {u"network", 2}, {u"audio", 3},    {u"camera", 4},
    {u"rom", 5},     {u"storage", 6}, {u"nv12", 7},    {u"audio", 0x83}, {u"roothub", 6},
};

WCHAR Lower(WCHAR c) { return c >= u'A' && c <= u'Z' ? static_cast<WCHAR>(c - u'A' + u'a') : c; }

FILE_OBJECT* BoundFileOf(const FileSession* session) {
  return __atomic_load_n(&session->BoundFile, __ATOMIC_SEQ_CST);
}

}  // namespace

void InitSession(FileSession* session, StationExtension* station, ULONG index) {
  *session = FileSession{};
  session->Signature = kFileSessionSignature;
  session->Index = index;
  session->Owner = station;
  session->Id = kSessionTable[index].id;
  const char16_t* name = kSessionTable[index].name;
  UCHAR n = 0;
  while (name[n] && n < sizeof session->Name / sizeof session->Name[0]) {
    session->Name[n] = name[n];
    ++n;
  }
  session->NameLength = n;
}

FileSession* FindSessionByName(StationExtension* station, const UNICODE_STRING* name) {
  if (!name || !name->Buffer) return nullptr;
  const ULONG chars = name->Length / sizeof(WCHAR);
  if (chars <= 1 || name->Buffer[0] != u'\\') return nullptr;
  for (FileSession& session : station->Sessions) {
    if (session.NameLength + 1u != chars) continue;
    bool equal = true;
    for (ULONG i = 0; i < session.NameLength && equal; ++i)
      equal = Lower(session.Name[i]) == Lower(name->Buffer[i + 1]);
    if (equal) return &session;
  }
  return nullptr;
}

FileSession* BindSession(StationExtension* station, FILE_OBJECT* file) {
  if (!file || file->FileName.Length == 0) return nullptr;
  FileSession* session = FindSessionByName(station, &file->FileName);
  if (!session) return nullptr;
  if (session->Index != kSharedSessionIndex) {
    FILE_OBJECT* expected = nullptr;
    if (!__atomic_compare_exchange_n(&session->BoundFile, &expected, file, false,
                                     __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
      return nullptr;
  }
  file->FsContext = session;
  return session;
}

FileSession* SessionFromFile(FILE_OBJECT* file) {
  auto* session = static_cast<FileSession*>(file->FsContext);
  if (!session || session->Signature != kFileSessionSignature) return nullptr;
  FILE_OBJECT* bound = BoundFileOf(session);
  return bound == nullptr || bound == file ? session : nullptr;
}

void UnbindSession(FileSession* session, FILE_OBJECT* file) {
  file->FsContext = nullptr;
  FILE_OBJECT* expected = file;
  __atomic_compare_exchange_n(&session->BoundFile, &expected, nullptr, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
}

NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
  if (!IsStationDevice(device)) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  StationExtension* station = Station(device);
  if (__atomic_load_n(&station->FdoState, __ATOMIC_SEQ_CST) != kFdoStarted)
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_STATE, 0);
  FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (!file) return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
  if (file->FileName.Length != 0) {
    file->FsContext = nullptr;
    if (!BindSession(station, file)) return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
  }
  InterlockedIncrement(reinterpret_cast<volatile LONG*>(&station->OpenCount));
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchCleanup(DEVICE_OBJECT* device, IRP* irp) {
  if (!IsStationDevice(device)) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject)
    ReleaseFileEventSlots(Station(device), file);
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(DEVICE_OBJECT* device, IRP* irp) {
  if (!IsStationDevice(device)) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  StationExtension* station = Station(device);
  FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (file && file->FileName.Length != 0) {
    if (FileSession* session = SessionFromFile(file)) UnbindSession(session, file);
  }
  InterlockedDecrement(reinterpret_cast<volatile LONG*>(&station->OpenCount));
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

}  // namespace vorn::station
