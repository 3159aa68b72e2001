#include "sim/chip/violation_log.h"

namespace vorn::chip {

void ViolationLog::Add(std::string what) {
  std::lock_guard<std::mutex> guard(lock_);
  messages_.push_back(std::move(what));
}

size_t ViolationLog::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_.size();
}

std::vector<std::string> ViolationLog::Messages() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

void ViolationLog::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  messages_.clear();
}

}  // namespace vorn::chip
