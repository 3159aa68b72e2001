// The 29 device I/O control codes of the station's control interface (main or NS), with the
// names the system gives them. The panel library sends eleven of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::protocol {

inline constexpr uint32_t kFileDeviceUnknown = 0x22;
inline constexpr uint32_t kMethodBuffered = 0;
inline constexpr uint32_t kMethodInDirect = 1;
inline constexpr uint32_t kFileAnyAccess = 0;

constexpr uint32_t CtlCode(uint32_t deviceType, uint32_t function, uint32_t method,
                           uint32_t access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr uint32_t ControlCodeFunction(uint32_t code) { return (code >> 2) & 0xFFF; }
constexpr uint32_t ControlCodeMethod(uint32_t code) { return code & 3; }

// Every code of the interface is CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + n, method, any access).
constexpr uint32_t StationCode(uint32_t n, uint32_t method) {
  return CtlCode(kFileDeviceUnknown, 0x900 + n, method, kFileAnyAccess);
}

inline constexpr uint32_t IOCTL_OP_DDI_GET_DDI_VERSION = StationCode(0x00, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_ROM_AUTO_UPDATE_FLAGS = StationCode(0x01, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_GET_ROM_RESULT = StationCode(0x02, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_ROM_PATH = StationCode(0x03, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_GET_FEATURE_FLAGS = StationCode(0x04, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_SET_DEVICE_ID = StationCode(0x05, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_GET_ROM_SIZE = StationCode(0x06, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_READ_ROM = StationCode(0x07, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_DRIVER_MODEL = StationCode(0x08, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_ENUMERATE_FUNCTIONS = StationCode(0x09, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_NS_VENDOR_READ = StationCode(0x0A, kMethodInDirect);
inline constexpr uint32_t IOCTL_OP_NS_VENDOR_WRITE = StationCode(0x0B, kMethodInDirect);
inline constexpr uint32_t IOCTL_OP_SEND_MESSAGE = StationCode(0x0C, kMethodInDirect);
inline constexpr uint32_t IOCTL_OP_CONTROL_TRANSFER = StationCode(0x0D, kMethodInDirect);
inline constexpr uint32_t IOCTL_OP_USER_EVENT = StationCode(0x0E, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_DEBUG_LEVEL = StationCode(0x0F, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_Get_PanelProperty = StationCode(0x10, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_Set_PanelProperty = StationCode(0x11, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_Get_Panel_Security_Key = StationCode(0x12, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_GET_LANGUAGE_INDEX = StationCode(0x13, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_SET_LANGUAGE_INDEX = StationCode(0x14, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_Set_Language_Data = StationCode(0x15, kMethodInDirect);
inline constexpr uint32_t IOCTL_OP_Save_Language_Data = StationCode(0x16, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_IS_ROM_BUSY = StationCode(0x17, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_NIGHT_LIGHT_CONTROL = StationCode(0x18, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_NIGHT_LIGHT_TABLES = StationCode(0x19, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_DDI_GET_3rdPARTY_VERSION = StationCode(0x1A, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_HOLLIN_DDI_RESET_VORN = StationCode(0x1B, kMethodBuffered);
inline constexpr uint32_t IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE = StationCode(0x1C, kMethodBuffered);

struct ControlCodeInfo {
  uint32_t Code;
  const char* Name;
};

// In code order, as the station's dispatch table lists them.
inline constexpr ControlCodeInfo kControlCodes[] = {
    {0x222400, "IOCTL_OP_DDI_GET_DDI_VERSION"},
    {0x222404, "IOCTL_OP_ROM_AUTO_UPDATE_FLAGS"},
    {0x222408, "IOCTL_OP_GET_ROM_RESULT"},
    {0x22240C, "IOCTL_OP_ROM_PATH"},
    {0x222410, "IOCTL_OP_GET_FEATURE_FLAGS"},
    {0x222414, "IOCTL_OP_SET_DEVICE_ID"},
    {0x222418, "IOCTL_OP_GET_ROM_SIZE"},
    {0x22241C, "IOCTL_OP_READ_ROM"},
    {0x222420, "IOCTL_OP_DRIVER_MODEL"},
    {0x222424, "IOCTL_OP_ENUMERATE_FUNCTIONS"},
    {0x222429, "IOCTL_OP_NS_VENDOR_READ"},
    {0x22242D, "IOCTL_OP_NS_VENDOR_WRITE"},
    {0x222431, "IOCTL_OP_SEND_MESSAGE"},
    {0x222435, "IOCTL_OP_CONTROL_TRANSFER"},
    {0x222438, "IOCTL_OP_USER_EVENT"},
    {0x22243C, "IOCTL_OP_DEBUG_LEVEL"},
    {0x222440, "IOCTL_OP_Get_PanelProperty"},
    {0x222444, "IOCTL_OP_Set_PanelProperty"},
    {0x222448, "IOCTL_OP_Get_Panel_Security_Key"},
    {0x22244C, "IOCTL_OP_GET_LANGUAGE_INDEX"},
    {0x222450, "IOCTL_OP_SET_LANGUAGE_INDEX"},
    {0x222455, "IOCTL_OP_Set_Language_Data"},
    {0x222458, "IOCTL_OP_Save_Language_Data"},
    {0x22245C, "IOCTL_OP_IS_ROM_BUSY"},
    {0x222460, "IOCTL_OP_NIGHT_LIGHT_CONTROL"},
    {0x222464, "IOCTL_OP_NIGHT_LIGHT_TABLES"},
    {0x222468, "IOCTL_OP_DDI_GET_3rdPARTY_VERSION"},
    {0x22246C, "IOCTL_OP_HOLLIN_DDI_RESET_VORN"},
    {0x222470, "IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE"},
};

inline constexpr size_t kControlCodeCount = sizeof(kControlCodes) / sizeof(kControlCodes[0]);
static_assert(kControlCodeCount == 29);

// The table, read as the functions 0x900-0x91C in order, agrees with the named constants.
constexpr bool ControlCodesInFunctionOrder() {
  for (size_t i = 0; i < kControlCodeCount; ++i) {
    if (ControlCodeFunction(kControlCodes[i].Code) != 0x900 + i) return false;
    if (kControlCodes[i].Code >> 16 != kFileDeviceUnknown) return false;
  }
  return true;
}
static_assert(ControlCodesInFunctionOrder());
static_assert(kControlCodes[0].Code == IOCTL_OP_DDI_GET_DDI_VERSION);
static_assert(kControlCodes[10].Code == IOCTL_OP_NS_VENDOR_READ);
static_assert(kControlCodes[21].Code == IOCTL_OP_Set_Language_Data);
static_assert(kControlCodes[28].Code == IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE);

// The table entry of |code|, or null for a code the interface does not serve.
constexpr const ControlCodeInfo* FindControlCode(uint32_t code) {
  for (const ControlCodeInfo& info : kControlCodes) {
    if (info.Code == code) return &info;
  }
  return nullptr;
}

}  // namespace vorn::protocol
