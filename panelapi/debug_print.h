// The library's trace lines: each goes to the debugger output as "[QORAP] " and the message.
#pragma once

#include <string>

#include "platform/win32/types.h"

namespace vorn::panelapi {

void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A wide path or name as the traces print it.
std::string Narrow(const WCHAR* text);

}  // namespace vorn::panelapi
