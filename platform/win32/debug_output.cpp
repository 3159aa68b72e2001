#include "platform/win32/debug_output.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace vorn::win32::debug_output {
namespace {
struct Output {
  std::mutex lock;
  std::vector<std::string> lines;
};
Output& O() {
  static auto* o = new Output;
  return *o;
}
}  // namespace

std::vector<std::string> Lines() {
  std::lock_guard<std::mutex> guard(O().lock);
  return O().lines;
}

size_t Count(const std::string& text) {
  std::lock_guard<std::mutex> guard(O().lock);
  size_t n = 0;
  for (const std::string& l : O().lines)
    if (l.find(text) != std::string::npos) ++n;
  return n;
}

void Clear() {
  std::lock_guard<std::mutex> guard(O().lock);
  O().lines.clear();
}

}  // namespace vorn::win32::debug_output

void OutputDebugStringA(const char* text) {
  namespace d = vorn::win32::debug_output;
  std::string line = text ? text : "";
  static const bool echo = std::getenv("VORN_DEBUG_OUTPUT") != nullptr;
  if (echo) std::fprintf(stderr, "%s", line.c_str());
  std::lock_guard<std::mutex> guard(d::O().lock);
  d::O().lines.push_back(std::move(line));
}
