// Function discovery: which of the chip's functions exist (vendor request 0xB1 per function),
// the audio jacks (0xA1 information, 0xA4 state), the microphone-only case and the
// microphone function made from the audio one, and the count of active functions. NS mode
// has no functions at all.
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"
#include "station/driver_globals.h"
#include "station/station_start.h"
#include "station/worker.h"

namespace vorn::station {
namespace {

// Functions the chip reports with 0xB1; the others have no descriptor of the chip's.
constexpr ULONG kReadFunctions[] = {0, 2, 3, 4, 5, 6};

bool Absent(USHORT vendor) { return vendor == 0 || vendor == 0xFFFF; }

// A chip that never answers would hold the worker in discovery for ever, and with it every
// stop and removal that waits for the worker: each request gets the two seconds the other
// identity reads get, and one that runs out fails like any other failed read.
constexpr LONGLONG kDiscoveryTimeout = -20000000;

// A vendor IN request of |length| bytes into |out|. A short answer leaves the rest zero.
NTSTATUS ReadIn(StationExtension* station, UCHAR request, USHORT index, void* out,
                ULONG length) {
  PipeOps& pipe = station->Pipes[kControlPipe];
  if (!pipe.Object || !pipe.ControlTransfer) return STATUS_DEVICE_NOT_READY;
  UCHAR buffer[sizeof(ChildFunctionDescriptor)] = {};
  if (length > sizeof buffer) return STATUS_INVALID_PARAMETER;
  ULONG transferred = 0, usbd_status = 0;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kDiscoveryTimeout;
  NTSTATUS status = pipe.ControlTransfer(pipe.Object, USBD_TRANSFER_DIRECTION_IN,
                                         URB_FUNCTION_VENDOR_DEVICE, request, 0, index, length,
                                         buffer, &transferred, &timeout, &usbd_status);
  if (NT_SUCCESS(status)) std::memcpy(out, buffer, length);
  return status;
}

USHORT U16(const UCHAR* p) { return protocol::LoadLe16(p); }

void ReadJacks(StationExtension* station) {
  const UCHAR detection = g_StationGlobals->AudioJackDetection;
  for (ULONG j = 0; j < kJackCount; ++j) {
    JackRecord& jack = station->Jacks[j];
    UCHAR info[16] = {};
    if (!NT_SUCCESS(ReadIn(station, protocol::ReqReadJackInfo, static_cast<USHORT>(j), info,
                           sizeof info)))
      continue;
    if (info[0] != j || U16(info + 4) == 0) continue;
    UCHAR state[16] = {};
    if (!NT_SUCCESS(ReadIn(station, protocol::ReqReadJackState, static_cast<USHORT>(j), state,
                           sizeof state)))
      continue;
    std::memcpy(jack.Info, info, sizeof info);
    std::memcpy(jack.State, state, sizeof state);
    jack.Exists = 1;
    if (info[1] & 1) {
      jack.DetectionOn = (detection >> j) & 1;
      UCHAR bits = j == 0 ? state[1] : (state[1] ? 0x40 : 0);
      WriteFlag(station->JackState, static_cast<UCHAR>(ReadFlag(station->JackState) | bits));
    }
  }
}

}  // namespace

NTSTATUS DiscoverChildFunctions(StationExtension* station) {
  if (!ReadFlag(station->NsMode)) ReadNsComputerInfo(station);
  if (ReadFlag(station->NsMode)) {
    for (ChildFunctionDescriptor& d : station->ChildFunctions) std::memset(&d, 0, 4);
    __atomic_store_n(&station->ActiveFunctionCount, 0, __ATOMIC_SEQ_CST);
    return STATUS_SUCCESS;
  }

  const ULONG wanted = g_StationGlobals->SupportPDOs;
  for (ULONG i : kReadFunctions) {
    if (!(wanted & (1u << i))) continue;
    NTSTATUS status = ReadIn(station, protocol::ReqReadFunctionInfo, static_cast<USHORT>(i),
                             &station->ChildFunctions[i], sizeof(ChildFunctionDescriptor));
    if (!NT_SUCCESS(status)) return status;
  }

  ChildFunctionDescriptor& audio = station->ChildFunctions[kAudioFunctionIndex];
  if (station->VendorCmdVersion < 2) {
    audio.VendorId = 0;
    audio.ProductId = 0;
  } else if (audio.VendorId && audio.ProductId && U16(audio.Data)) {
    ReadJacks(station);
  }
  const bool jack0 = station->Jacks[0].Exists, jack1 = station->Jacks[1].Exists;
  if (!jack0 && jack1) station->MicOnly = 1;
  if ((wanted & kMicrophoneFunctionMask) && jack0 && jack1 && g_StationGlobals->StandaloneMic) {
    ChildFunctionDescriptor& mic = station->ChildFunctions[kMicrophoneFunctionIndex];
    mic = audio;
    mic.ProductId = static_cast<USHORT>(audio.ProductId + 1);
  }

  ULONG active = 0;
  for (ChildFunctionDescriptor& d : station->ChildFunctions) {
    if (Absent(d.VendorId)) {
      std::memset(&d, 0, 4);
    } else if (d.ProductId) {
      ++active;
    }
  }
  __atomic_store_n(&station->ActiveFunctionCount, active, __ATOMIC_SEQ_CST);
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
