#include "panelapi/debug_print.h"

#include <cstdarg>
#include <cstdio>

#include "platform/win32/debug_output.h"

namespace vorn::panelapi {

constexpr size_t kTraceBytes = 512;

void DebugPrint(const char* format, ...) {
  char message[kTraceBytes];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  char line[kTraceBytes];
  // A message near the buffer's size is cut to fit the line, as it was to fit the message.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
  std::snprintf(line, sizeof line, "%s %s", "[QORAP]", message);
#pragma GCC diagnostic pop
  OutputDebugStringA(line);
}

std::string Narrow(const WCHAR* text) {
  std::string out;
  for (const WCHAR* p = text; p && *p; ++p) out.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
  return out;
}

}  // namespace vorn::panelapi
