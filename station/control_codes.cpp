// The control codes of the station's control interface: one table row per code with its
// buffer checks, in the order they run, the handler and the Information of a success.
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/control_codes.h"
#include "protocol/ddi_version.h"
#include "protocol/gamma.h"
#include "station/control_interface.h"
#include "station/dispatch.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/panel_ops.h"
#include "station/registry.h"
#include "station/rom.h"
#include "station/station_start.h"
#include "station/worker.h"

namespace vorn::station {
namespace {

using namespace protocol;

constexpr ULONG kEnumerateWaitMilliseconds = 800;
constexpr ULONG kRomPathRecordBytes = 524;
constexpr ULONG kRomPathProjectOffset = 8;
constexpr ULONG kRomPathPathOffset = 24;
constexpr ULONG kRomPathPathBytes = 500;
constexpr UCHAR kDeviceIdFeature = 0x01;  // FeatureFlags bit 0: device id and ROM read
constexpr ULONG kDriverModelOnRequest = 2;

// One call as the table sees it. |system| is the system buffer (input, and output of the
// buffered codes); |direct| the caller's mapped output buffer of the in-direct codes.
struct ControlCall {
  IRP* irp;
  FILE_OBJECT* file;
  ULONG code;
  ULONG in;
  ULONG out;
  UCHAR* system;
  UCHAR* direct;
  ULONG direct_length;
  ULONG_PTR information;  // the table's value; a handler may set another
};

enum class Gate : UCHAR {
  kNone,
  kDeviceIdFeature,  // FeatureFlags bit 0, else STATUS_NOT_SUPPORTED
  kNsMode,           // NS mode, else STATUS_INVALID_DEVICE_REQUEST
};

using Handler = NTSTATUS (*)(StationExtension* station, ControlCall& call);

struct ControlRow {
  ULONG code;
  ULONG in_min;       // input length at least, else STATUS_BUFFER_TOO_SMALL
  ULONG out_min;      // output length at least, else STATUS_BUFFER_TOO_SMALL
  bool direct_covers_out;  // the mapped buffer holds the whole output, else STATUS_BUFFER_TOO_SMALL
  Gate gate;
  Handler handler;
  ULONG information;
};

ULONG U32(const UCHAR* p) { return LoadLe32(p); }

NTSTATUS DdiVersion(StationExtension* station, ControlCall& call) {
  UCHAR* out = call.system;
  std::memset(out, 0, kDdiVersionInfoSize);
  StoreLe32(out + 0, kDdiInterfaceVersion);
  StoreLe16(out + 4, kDdiInterfaceBuild);
  out[6] = station->StationIndex;
  out[7] = static_cast<UCHAR>(station->HwPlatform & 0xFF);
  StoreLe32(out + 8, station->BootCodeVersion);
  StoreLe32(out + 12, station->ImageCodeVersion);
  std::memcpy(out + 16, station->PrjCode, sizeof station->PrjCode);
  std::memcpy(out + 32, station->DeviceId, sizeof station->DeviceId);
  return STATUS_SUCCESS;
}

NTSTATUS RomAutoUpdateFlags(StationExtension* station, ControlCall& call) {
  UCHAR* b = call.system;
  if (b[0]) return SetRomAutoUpdateFlags(station, b[1], b[2]);
  return GetRomAutoUpdateFlags(station, b[1], &b[2]);
}

NTSTATUS RomResult(StationExtension* station, ControlCall& call) {
  return GetRomResult(station, call.system);
}

NTSTATUS RomPath(StationExtension* station, ControlCall& call) {
  UCHAR* b = call.system;
  const UCHAR* project = b + kRomPathProjectOffset;
  auto* path = reinterpret_cast<WCHAR*>(b + kRomPathPathOffset);
  if (b[0]) {
    call.information = 1;
    return SetRomPath(station, b[1], project, path, kRomPathPathBytes);
  }
  if (call.out < kRomPathRecordBytes) return STATUS_BUFFER_TOO_SMALL;
  return GetRomPath(station, b[1], project, path, kRomPathPathBytes);
}

NTSTATUS FeatureFlags(StationExtension* station, ControlCall& call) {
  std::memcpy(call.system, station->FeatureFlags, sizeof station->FeatureFlags);
  return STATUS_SUCCESS;
}

NTSTATUS SetDeviceId(StationExtension* station, ControlCall& call) {
  UCHAR id[8];
  std::memcpy(id, call.system, sizeof id);
  return WriteDeviceId(station, id);
}

NTSTATUS RomSize(StationExtension* station, ControlCall& call) {
  StoreLe32(call.system, station->RomSize);
  return STATUS_SUCCESS;
}

NTSTATUS ReadRom(StationExtension* station, ControlCall& call) {
  const USHORT sequence = __atomic_fetch_add(&station->RomReadSequence, 1, __ATOMIC_SEQ_CST);
  ULONG bytes = 0;
  NTSTATUS status = RomRead(station, call.system, 0, call.out, sequence, &bytes);
  call.information = bytes;
  return status;
}

NTSTATUS DriverModel(StationExtension*, ControlCall& call) {
  UCHAR* b = call.system;
  if (b[0]) {
    const ULONG model = U32(b + 8);
    if (model == g_StationGlobals->DriverModel) return STATUS_SUCCESS;
    g_StationGlobals->DriverModel = model;
    return WriteParameter(u"DriverModel", REG_BINARY, sizeof model, &model);
  }
  if (call.out < 12) return STATUS_BUFFER_TOO_SMALL;
  StoreLe32(b + 8, g_StationGlobals->DriverModel);
  return STATUS_SUCCESS;
}

NTSTATUS EnumerateFunctions(StationExtension* station, ControlCall& call) {
  if (station->DriverModel != kDriverModelOnRequest) return STATUS_UNSUCCESSFUL;
  if (!call.system[0]) return STATUS_NOT_IMPLEMENTED;
  WriteFlag(station->EnumerateRequest, 1);
  KeSetEvent(&station->WorkerKickEvent, 0, FALSE);
  WaitStop(station, kEnumerateWaitMilliseconds);
  return STATUS_SUCCESS;
}

NTSTATUS NsRead(StationExtension* station, ControlCall& call) {
  return NsVendorRead(station, LoadLe16(call.system), LoadLe16(call.system + 2), call.out,
                      call.direct);
}

NTSTATUS NsWrite(StationExtension* station, ControlCall& call) {
  return NsVendorWrite(station, LoadLe16(call.system), LoadLe16(call.system + 2), call.out,
                       call.direct);
}

NTSTATUS SendMessage(StationExtension* station, ControlCall& call) {
  NTSTATUS status = SendUserMessage(call.irp, station, call.direct, call.out);
  if (status == STATUS_PENDING) call.information = 0;
  return status;
}

NTSTATUS ControlTransfer(StationExtension* station, ControlCall& call) {
  if (call.out < LoadLe16(call.system + 6)) return STATUS_BUFFER_TOO_SMALL;
  return UserControlTransfer(call.irp, station, call.system, call.direct);
}

NTSTATUS UserEvent(StationExtension* station, ControlCall& call) {
  const UCHAR* b = call.system;
  const ULONGLONG handle = LoadLe64(b + 8);
  if (b[0]) return RegisterUserEvent(station, call.file, b[1], handle);
  return UnregisterUserEvent(station, call.file, b[1], handle);
}

NTSTATUS DebugLevel(StationExtension*, ControlCall& call) {
  UCHAR* b = call.system;
  DriverServices* services = g_DriverServices;
  if (b[0]) {
    const ULONGLONG word = LoadLe64(b + 8);
    services->DebugLevel = static_cast<ULONG>(word);
    services->DebugLevel2 = static_cast<ULONG>(word >> 32);
  } else {
    StoreLe64(b + 8, ULONGLONG{services->DebugLevel2} << 32 | services->DebugLevel);
  }
  return STATUS_SUCCESS;
}

NTSTATUS PanelPropertyGet(StationExtension* station, ControlCall& call) {
  return GetPanelProperty(station, U32(call.system), call.system);
}
NTSTATUS PanelPropertySet(StationExtension* station, ControlCall& call) {
  return SetPanelProperty(station, call.system);
}
NTSTATUS PanelKey(StationExtension* station, ControlCall& call) {
  return GetPanelSecurityKey(station, call.system);
}
NTSTATUS LanguageIndexGet(StationExtension* station, ControlCall& call) {
  return GetLanguageIndex(station, U32(call.system), call.system);
}
NTSTATUS LanguageIndexSet(StationExtension* station, ControlCall& call) {
  return SetLanguageIndex(station, U32(call.system));
}
NTSTATUS LanguageData(StationExtension* station, ControlCall& call) {
  return SetLanguageData(station, U32(call.system), call.direct, call.out);
}
NTSTATUS LanguageSave(StationExtension* station, ControlCall&) {
  return SaveLanguageData(station);
}
NTSTATUS RomBusy(StationExtension* station, ControlCall& call) {
  StoreLe32(call.system, KeReadStateEvent(&station->PanelBusyEvent) ? 1 : 0);
  return STATUS_SUCCESS;
}
NTSTATUS NightLight(StationExtension* station, ControlCall& call) {
  return NightLightControl(station, call.system);
}
NTSTATUS NightLightTables(StationExtension* station, ControlCall& call) {
  return SetNightLightTables(station, call.system);
}
NTSTATUS ThirdPartyVersion(StationExtension* station, ControlCall& call) {
  return GetThirdPartyVersion(station, call.system);
}
NTSTATUS Reset(StationExtension* station, ControlCall&) { return ResetChip(station); }
NTSTATUS ThirdPartyMode(StationExtension* station, ControlCall& call) {
  return SetThirdPartyMode(station, U32(call.system));
}

constexpr ControlRow kRows[] = {
    {IOCTL_OP_DDI_GET_DDI_VERSION, 0, kDdiVersionInfoSize, false, Gate::kNone, DdiVersion, 40},
    {IOCTL_OP_ROM_AUTO_UPDATE_FLAGS, 8, 0, false, Gate::kNone, RomAutoUpdateFlags, 8},
    {IOCTL_OP_GET_ROM_RESULT, 0, 16, false, Gate::kNone, RomResult, 16},
    {IOCTL_OP_ROM_PATH, kRomPathRecordBytes, 0, false, Gate::kNone, RomPath, kRomPathRecordBytes},
    {IOCTL_OP_GET_FEATURE_FLAGS, 0, 8, false, Gate::kNone, FeatureFlags, 8},
    {IOCTL_OP_SET_DEVICE_ID, 8, 0, false, Gate::kDeviceIdFeature, SetDeviceId, 8},
    {IOCTL_OP_GET_ROM_SIZE, 0, 4, false, Gate::kDeviceIdFeature, RomSize, 4},
    {IOCTL_OP_READ_ROM, 0, 0, false, Gate::kDeviceIdFeature, ReadRom, 0},
    {IOCTL_OP_DRIVER_MODEL, 12, 0, false, Gate::kNone, DriverModel, 12},
    {IOCTL_OP_ENUMERATE_FUNCTIONS, 8, 0, false, Gate::kNone, EnumerateFunctions, 8},
    {IOCTL_OP_NS_VENDOR_READ, 8, 0, true, Gate::kNsMode, NsRead, 8},
    {IOCTL_OP_NS_VENDOR_WRITE, 8, 0, true, Gate::kNsMode, NsWrite, 8},
    {IOCTL_OP_SEND_MESSAGE, 8, 0, false, Gate::kNone, SendMessage, 8},
    {IOCTL_OP_CONTROL_TRANSFER, 8, 0, false, Gate::kNone, ControlTransfer, 8},
    {IOCTL_OP_USER_EVENT, 16, 0, false, Gate::kNone, UserEvent, 16},
    {IOCTL_OP_DEBUG_LEVEL, 16, 16, false, Gate::kNone, DebugLevel, 16},
    {IOCTL_OP_Get_PanelProperty, 4, 4, false, Gate::kNone, PanelPropertyGet, 4},
    {IOCTL_OP_Set_PanelProperty, 16, 0, false, Gate::kNone, PanelPropertySet, 0},
    {IOCTL_OP_Get_Panel_Security_Key, 0, 16, false, Gate::kNone, PanelKey, 16},
    {IOCTL_OP_GET_LANGUAGE_INDEX, 4, 8, false, Gate::kNone, LanguageIndexGet, 8},
    {IOCTL_OP_SET_LANGUAGE_INDEX, 4, 0, false, Gate::kNone, LanguageIndexSet, 0},
    {IOCTL_OP_Set_Language_Data, 4, 0, true, Gate::kNone, LanguageData, 0},
    {IOCTL_OP_Save_Language_Data, 4, 0, false, Gate::kNone, LanguageSave, 0},
    {IOCTL_OP_IS_ROM_BUSY, 0, 4, false, Gate::kNone, RomBusy, 4},
    {IOCTL_OP_NIGHT_LIGHT_CONTROL, 4, 0, false, Gate::kNone, NightLight, 0},
    {IOCTL_OP_NIGHT_LIGHT_TABLES, kGammaRampSize, 0, false, Gate::kNone, NightLightTables, 0},
    {IOCTL_OP_DDI_GET_3rdPARTY_VERSION, 0, 4, false, Gate::kNone, ThirdPartyVersion, 4},
    {IOCTL_OP_HOLLIN_DDI_RESET_VORN, 4, 0, false, Gate::kNone, Reset, 4},
    {IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE, 4, 0, false, Gate::kNone, ThirdPartyMode, 4},
};
static_assert(sizeof kRows / sizeof kRows[0] == kControlCodeCount);

constexpr bool RowsFollowTheCodeTable() {
  for (size_t i = 0; i < kControlCodeCount; ++i)
    if (kRows[i].code != kControlCodes[i].Code) return false;
  return true;
}
static_assert(RowsFollowTheCodeTable());

const ControlRow* FindRow(ULONG code) {
  for (const ControlRow& row : kRows)
    if (row.code == code) return &row;
  return nullptr;
}

// The station serves control codes from a finished start until its stop; a gone device is
// left to the handlers, which each answer it with STATUS_DEVICE_NOT_CONNECTED.
bool ServesControlCodes(const StationExtension* station) {
  return __atomic_load_n(&station->FdoState, __ATOMIC_SEQ_CST) == kFdoStarted &&
         ReadFlag(station->StartSucceeded) && station->Pipes[kControlPipe].Object != nullptr;
}

// The caller's output buffer of an in-direct code, mapped into the kernel; null without an
// MDL or when it cannot be mapped.
UCHAR* MapDirectBuffer(IRP* irp, ULONG* length) {
  *length = 0;
  MDL* mdl = irp->MdlAddress;
  if (!mdl) return nullptr;
  *length = MmGetMdlByteCount(mdl);
  return static_cast<UCHAR*>(
      MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | g_StationGlobals->MmAddressMask));
}

NTSTATUS RunRow(StationExtension* station, const ControlRow& row, ControlCall& call) {
  if (call.in < row.in_min || call.out < row.out_min) return STATUS_BUFFER_TOO_SMALL;
  if (row.direct_covers_out && call.direct_length < call.out) return STATUS_BUFFER_TOO_SMALL;
  if (row.gate == Gate::kDeviceIdFeature && !(station->FeatureFlags[0] & kDeviceIdFeature))
    return STATUS_NOT_SUPPORTED;
  if (row.gate == Gate::kNsMode && !ReadFlag(station->NsMode)) return STATUS_INVALID_DEVICE_REQUEST;
  // The handlers use the whole output whenever its length is not zero: without a buffer
  // behind it (no MDL, or one that could not be mapped) they are not called.
  if (ControlCodeMethod(row.code) == kMethodInDirect && call.out && !call.direct)
    return call.irp->MdlAddress ? STATUS_INSUFFICIENT_RESOURCES : STATUS_INVALID_USER_BUFFER;
  call.information = row.information;
  return row.handler(station, call);
}

}  // namespace

NTSTATUS DispatchDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
  if (!IsStationDevice(device)) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  StationExtension* station = Station(device);
  AcquireIoCount(station);
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  ControlCall call{};
  call.irp = irp;
  call.file = stack->FileObject;
  call.code = stack->Parameters.DeviceIoControl.IoControlCode;
  call.in = stack->Parameters.DeviceIoControl.InputBufferLength;
  call.out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  call.system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  const ControlRow* row = FindRow(call.code);
  if (row && ControlCodeMethod(row->code) == kMethodInDirect)
    call.direct = MapDirectBuffer(irp, &call.direct_length);

  NTSTATUS status;
  if (!row) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else if (!ServesControlCodes(station)) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else {
    status = RunRow(station, *row, call);
  }
  ReleaseIoCount(station);
  if (status == STATUS_PENDING) return status;
  // Information never reports more than the caller's output can hold.
  ULONG_PTR information = call.information;
  if (information > call.out) information = call.out;
  return CompleteIrp(irp, status, information);
}

}  // namespace vorn::station
