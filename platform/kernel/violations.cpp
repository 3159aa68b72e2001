#include "platform/kernel/violations.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace vorn::kernel {
namespace {

struct State {
  std::mutex lock;
  std::vector<std::string> record;
  std::function<void(const std::string&)> handler;
};

State& GetState() {
  static State* state = new State;  // outlives every kernel thread at exit
  return *state;
}

}  // namespace

void ReportViolation(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  State& s = GetState();
  std::function<void(const std::string&)> handler;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.record.emplace_back(text);
    handler = s.handler;
  }
  if (handler)
    handler(text);
  else
    fprintf(stderr, "kernel violation: %s\n", text);
}

std::vector<std::string> TakeViolations() {
  State& s = GetState();
  std::lock_guard<std::mutex> guard(s.lock);
  std::vector<std::string> out;
  out.swap(s.record);
  return out;
}

void SetViolationHandler(std::function<void(const std::string&)> handler) {
  State& s = GetState();
  std::lock_guard<std::mutex> guard(s.lock);
  s.handler = std::move(handler);
}

}  // namespace vorn::kernel
