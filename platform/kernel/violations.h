// Rule breaks the kernel catches: a double or missing IRP completion, a wait at dispatch level,
// a spin lock taken twice, a pool block freed twice. The kernel never crashes on one: it
// records it, calls the handler a test installed (which fails the test) and carries on as
// safely as it can.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vorn::kernel {

// Records one violation; printf-style.
void ReportViolation(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Every violation since the last call, oldest first; clears the record.
std::vector<std::string> TakeViolations();
// Called for every violation as it happens (on the thread that broke the rule); null restores
// the default, which prints to standard error.
void SetViolationHandler(std::function<void(const std::string&)> handler);

}  // namespace vorn::kernel
