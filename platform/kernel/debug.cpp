#include "platform/kernel/debug.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vorn::kernel::debug {
namespace {

std::mutex g_lock;
std::vector<std::string>& Kept() {
  static std::vector<std::string> lines;
  return lines;
}

}  // namespace

void Add(const char* text);

std::vector<std::string> Lines() {
  std::lock_guard<std::mutex> guard(g_lock);
  return Kept();
}

void Clear() {
  std::lock_guard<std::mutex> guard(g_lock);
  Kept().clear();
}

void Add(const char* text) {
  std::lock_guard<std::mutex> guard(g_lock);
  Kept().emplace_back(text);
}

}  // namespace vorn::kernel::debug

ULONG DbgPrint(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::fprintf(stderr, "%s", text);
  vorn::kernel::debug::Add(text);
  return 0;  // STATUS_SUCCESS
}
