// The debugger output: OutputDebugStringA keeps every line in the process (tests read them)
// and, when VORN_DEBUG_OUTPUT is set in the environment, also writes it to standard error.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/types.h"

void OutputDebugStringA(const char* text);

namespace vorn::win32::debug_output {

std::vector<std::string> Lines();
// The lines that contain |text|.
size_t Count(const std::string& text);
void Clear();

}  // namespace vorn::win32::debug_output
