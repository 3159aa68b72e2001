#include "platform/nt/status.h"

#include <cstdio>

std::string GuidToString(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

WString GuidToWString(const GUID& g) {
  std::string narrow = GuidToString(g);
  return WString(narrow.begin(), narrow.end());
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ReadHex(std::string_view text, size_t pos, size_t digits, uint32_t* out) {
  uint32_t v = 0;
  for (size_t i = 0; i < digits; ++i) {
    int d = HexDigit(text[pos + i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}
}  // namespace

bool GuidFromString(std::string_view text, GUID* out) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
      text[14] != '-' || text[19] != '-' || text[24] != '-')
    return false;
  GUID g{};
  uint32_t v = 0;
  if (!ReadHex(text, 1, 8, &v)) return false;
  g.Data1 = v;
  if (!ReadHex(text, 10, 4, &v)) return false;
  g.Data2 = static_cast<uint16_t>(v);
  if (!ReadHex(text, 15, 4, &v)) return false;
  g.Data3 = static_cast<uint16_t>(v);
  static constexpr size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; ++i) {
    if (!ReadHex(text, kBytePos[i], 2, &v)) return false;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  *out = g;
  return true;
}

std::string StatusName(NTSTATUS s) {
  struct Name {
    NTSTATUS status;
    const char* name;
  };
  static constexpr Name kNames[] = {
#define N(x) {x, #x}
      N(STATUS_SUCCESS), N(STATUS_TIMEOUT), N(STATUS_PENDING), N(STATUS_BUFFER_OVERFLOW),
      N(STATUS_NO_MORE_ENTRIES), N(STATUS_DEVICE_BUSY), N(STATUS_UNSUCCESSFUL),
      N(STATUS_NOT_IMPLEMENTED), N(STATUS_INVALID_HANDLE), N(STATUS_INVALID_PARAMETER),
      N(STATUS_NO_SUCH_DEVICE), N(STATUS_INVALID_DEVICE_REQUEST), N(STATUS_END_OF_FILE),
      N(STATUS_MORE_PROCESSING_REQUIRED), N(STATUS_NO_MEMORY), N(STATUS_ACCESS_DENIED),
      N(STATUS_BUFFER_TOO_SMALL), N(STATUS_OBJECT_NAME_NOT_FOUND),
      N(STATUS_OBJECT_PATH_NOT_FOUND), N(STATUS_DATA_ERROR), N(STATUS_DELETE_PENDING),
      N(STATUS_INSUFFICIENT_RESOURCES), N(STATUS_DEVICE_DATA_ERROR),
      N(STATUS_DEVICE_NOT_CONNECTED), N(STATUS_DEVICE_NOT_READY), N(STATUS_IO_TIMEOUT),
      N(STATUS_NOT_SUPPORTED), N(STATUS_CANCELLED), N(STATUS_INVALID_DEVICE_STATE),
      N(STATUS_INVALID_BUFFER_SIZE), N(STATUS_NOT_FOUND), N(STATUS_DEVICE_REMOVED),
#undef N
  };
  for (const Name& n : kNames)
    if (n.status == s) return n.name;
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(s));
  return text;
}
