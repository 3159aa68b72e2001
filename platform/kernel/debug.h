// The kernel debugger's output: DbgPrint writes a line to the process's standard error and
// keeps it, so a test can see what a driver reported.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/base.h"

ULONG DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace vorn::kernel::debug {

// Every line printed since the last Clear, oldest first.
std::vector<std::string> Lines();
void Clear();

}  // namespace vorn::kernel::debug
