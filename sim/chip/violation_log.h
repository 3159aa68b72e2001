// Protocol violations the chip model noticed: a request it cannot accept as sent, a bulk
// message whose header, slices or lengths do not add up. Each is kept as a short text so a
// failing test says what went wrong; a sound exchange ends with none.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace vorn::chip {

class ViolationLog {
 public:
  void Add(std::string what);
  size_t Count() const;
  std::vector<std::string> Messages() const;
  void Clear();

 private:
  mutable std::mutex lock_;
  std::vector<std::string> messages_;
};

}  // namespace vorn::chip
