#include "sim/chip/request_log.h"

namespace vorn::chip {

void RequestLog::Add(LoggedRequest entry) {
  std::lock_guard<std::mutex> guard(lock_);
  entries_.push_back(std::move(entry));
}

std::vector<LoggedRequest> RequestLog::Snapshot() const {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_;
}

std::vector<LoggedRequest> RequestLog::VendorRequests() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<LoggedRequest> out;
  for (const auto& e : entries_)
    if (e.IsVendor()) out.push_back(e);
  return out;
}

std::vector<uint8_t> RequestLog::VendorCodes() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<uint8_t> out;
  for (const auto& e : entries_)
    if (e.IsVendor()) out.push_back(e.setup.bRequest);
  return out;
}

size_t RequestLog::CountVendor(uint8_t code) const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (const auto& e : entries_)
    if (e.IsVendor() && e.setup.bRequest == code) ++n;
  return n;
}

size_t RequestLog::CountEndpoint(uint8_t endpoint) const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (const auto& e : entries_)
    if (e.endpoint == endpoint) ++n;
  return n;
}

void RequestLog::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  entries_.clear();
}

}  // namespace vorn::chip
