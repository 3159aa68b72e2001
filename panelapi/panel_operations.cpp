#include "panelapi/panel_operations.h"

#include <cstring>

#include "panelapi/debug_print.h"
#include "platform/win32/file_api.h"
#include "protocol/byte_order.h"
#include "protocol/panel_property.h"

namespace vorn::panelapi {
namespace {

constexpr DWORD kDdiVersion = 0x222400;
constexpr DWORD kGetPanelProperty = 0x222440;
constexpr DWORD kSetPanelProperty = 0x222444;
constexpr DWORD kGetSecurityKey = 0x222448;
constexpr DWORD kGetLanguageIndex = 0x22244C;
constexpr DWORD kSetLanguageIndex = 0x222450;
constexpr DWORD kSetLanguageData = 0x222455;
constexpr DWORD kSaveLanguageData = 0x222458;
constexpr DWORD kIsRomBusy = 0x22245C;
constexpr DWORD kNightLightControl = 0x222460;
constexpr DWORD kThirdPartyVersion = 0x222468;
constexpr DWORD kResetChip = 0x22246C;
constexpr DWORD kSetThirdPartyMode = 0x222470;

constexpr DWORD kDdiVersionBytes = 40;
constexpr DWORD kU32 = 4;

// One control code: the trace names the wrapper, and every failure is E_FAIL.
HRESULT Send(const char* wrapper, HANDLE device, DWORD code, const void* input, DWORD input_length,
             void* output, DWORD output_length, bool test_handle = true) {
  if (test_handle && device == INVALID_HANDLE_VALUE) return E_FAIL;
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(device, code, const_cast<void*>(input), input_length, output,
                            output_length, &returned, nullptr);
  DebugPrint("%s - fRet:0x%d \n", wrapper, ok);
  return ok ? S_OK : E_FAIL;
}

// The u32 of a code with a 4-byte input, in a 16-byte buffer.
struct U32Input {
  explicit U32Input(uint32_t v) { protocol::StoreLe32(bytes, v); }
  UCHAR bytes[16] = {};
};

HRESULT SendU32(const char* wrapper, HANDLE device, DWORD code, uint32_t value) {
  U32Input in(value);
  return Send(wrapper, device, code, in.bytes, kU32, nullptr, 0);
}

HRESULT SetProperty(const char* wrapper, HANDLE device, uint32_t id, uint32_t value) {
  protocol::PanelPropertyRequest r;
  r.Id = id;
  r.Value = value;
  UCHAR bytes[protocol::kPanelPropertyRequestSize];
  protocol::EncodePanelPropertyRequest(r, bytes);
  return Send(wrapper, device, kSetPanelProperty, bytes, sizeof bytes, nullptr, 0);
}

// A caller's size below zero names no buffer: refused before anything is sent.
bool BadSize(int size) { return size < 0; }

}  // namespace
}  // namespace vorn::panelapi

using namespace vorn::panelapi;

HRESULT PFN_OP_DDI_GET_DDI_VERSION(HANDLE device, void* version) {
  return Send("IOCTL_OP_DDI_GET_DDI_VERSION", device, kDdiVersion, nullptr, 0, version,
              kDdiVersionBytes, false);
}

HRESULT PFN_OP_GET_3rdPARTY_VERSION(HANDLE device, void* version) {
  return Send("IOCTL_OP_DDI_GET_3rdPARTY_VERSION", device, kThirdPartyVersion, nullptr, 0, version, kU32);
}

HRESULT PFN_OP_GetPanelProperty(HANDLE device, int id, void* value) {
  U32Input in(static_cast<uint32_t>(id));
  return Send("IOCTL_OP_Get_PanelProperty", device, kGetPanelProperty, in.bytes, kU32, value, kU32);
}

HRESULT PFN_OP_Get_Custom_security(HANDLE device, void* key, int size) {
  if (BadSize(size)) return E_FAIL;
  return Send("IOCTL_OP_Get_Panel_Security_Key", device, kGetSecurityKey, nullptr, 0, key,
              static_cast<DWORD>(size));
}

HRESULT PFN_OP_Get_Language_INDEX(HANDLE device, int value, void* index, int size) {
  if (BadSize(size)) return E_FAIL;
  U32Input in(static_cast<uint32_t>(value));
  return Send("IOCTL_OP_GET_LANGUAGE_INDEX", device, kGetLanguageIndex, in.bytes, kU32, index,
              static_cast<DWORD>(size));
}

HRESULT PFN_OP_Set_Language_INDEX(HANDLE device, int index) {
  return SendU32("IOCTL_OP_SET_LANGUAGE_INDEX", device, kSetLanguageIndex, static_cast<uint32_t>(index));
}

// The save code itself (the station sets its busy state until the chip has saved).
HRESULT PFN_OP_Save_Language_Data(HANDLE device, int value) {
  return SendU32("IOCTL_OP_Save_Language_Data", device, kSaveLanguageData, static_cast<uint32_t>(value));
}

// The busy query; the export has no way to hand the answer back, so only the outcome counts.
HRESULT PFN_OP_IS_ROM_BUSY(HANDLE device, int value) {
  U32Input out(static_cast<uint32_t>(value));
  return Send("IOCTL_OP_IS_ROM_BUSY", device, kIsRomBusy, nullptr, 0, out.bytes, kU32);
}

HRESULT PFN_OP_Set_Language_Data(HANDLE device, int value, void* data, int size) {
  if (BadSize(size)) return E_FAIL;
  U32Input in(static_cast<uint32_t>(value));
  return Send("IOCTL_OP_Set_Language_Data", device, kSetLanguageData, in.bytes, kU32, data,
              static_cast<DWORD>(size));
}

HRESULT PFN_OP_NIGHT_LIGHT_CONTROL(HANDLE device, int value) {
  return SendU32("IOCTL_OP_NIGHT_LIGHT_CONTROL", device, kNightLightControl, static_cast<uint32_t>(value));
}

HRESULT PFN_OP_SetPanelProperty(HANDLE device, int id, int value) {
  return SetProperty("IOCTL_OP_Set_PanelProperty", device, static_cast<uint32_t>(id),
                     static_cast<uint32_t>(value));
}

HRESULT PFN_OP_Set_Brightness_Value(HANDLE device, DWORD value) {
  HRESULT hr = SetProperty("IOCTL_Set_Brightness_Value", device, vorn::protocol::PanelPropertyBrightness, value);
  DebugPrint("=>hDevice :0x%x , BrightnesValue:%d \n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(device)), static_cast<int>(value));
  return hr;
}

HRESULT PFN_OP_Set_Camera_Status(HANDLE device, int status) {
  return SetProperty("IOCTL_Set_Camera_Status", device, vorn::protocol::PanelPropertyCamera,
                     static_cast<uint32_t>(status) & 0xFF);
}

HRESULT PFN_OP_Set_Touch_Status(HANDLE device, int status) {
  return SetProperty("IOCTL_Set_Touch_Status", device, vorn::protocol::PanelPropertyTouch,
                     static_cast<uint32_t>(status) & 0xFF);
}

HRESULT PFN_OP_Set_Rotate_State(HANDLE device, int state) {
  return SetProperty("IOCTL_OP_SET_ROTATE_STATE", device, vorn::protocol::PanelPropertyRotation,
                     static_cast<uint32_t>(state - 1));
}

HRESULT PFN_OP_HOLLIN_DDI_RESET_VORN(HANDLE device, DWORD value) {
  return SendU32("IOCTL_OP_HOLLIN_DDI_RESET_VORN", device, kResetChip, value);
}

HRESULT PFN_OP_HOLLIN_DDI_SET_3rdPARTY_MODE(HANDLE device, int mode) {
  return SendU32("IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE", device, kSetThirdPartyMode, static_cast<uint32_t>(mode));
}
