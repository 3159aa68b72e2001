// Scripted answers: per vendor request code, or per endpoint, a queue of actions that replace
// the chip's normal answer for the next transfers. Each action applies a number of times
// (kForever for every later transfer); when the queue is empty the chip answers normally.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

namespace vorn::chip {

enum class ScriptKind {
  kStall,     // the endpoint answers STALL
  kFail,      // a transport error
  kTimeOut,   // the chip never answers; the transfer ends only when the host cancels it
  kShort,     // answer normally but move at most |short_length| bytes
  kGone,      // the device leaves the bus on this transfer
  kNormal,    // answer normally (lets a script skip transfers)
};

struct ScriptAction {
  static constexpr uint32_t kForever = 0xFFFFFFFF;
  ScriptKind kind = ScriptKind::kNormal;
  uint32_t times = 1;
  uint32_t short_length = 0;
};

class RequestScript {
 public:
  // Queues |action| for vendor request |code|.
  void OnRequest(uint8_t code, ScriptAction action);
  // Queues |action| for transfers on |endpoint| (bulk or interrupt, bit 7 for IN).
  void OnEndpoint(uint8_t endpoint, ScriptAction action);
  // Takes the action for the next transfer, if any.
  std::optional<ScriptAction> NextForRequest(uint8_t code);
  std::optional<ScriptAction> NextForEndpoint(uint8_t endpoint);
  void Clear();

 private:
  static constexpr uint32_t kEndpointKey = 0x100;
  void Queue(uint32_t key, ScriptAction action);
  std::optional<ScriptAction> Next(uint32_t key);

  std::mutex lock_;
  std::map<uint32_t, std::deque<ScriptAction>> queues_;
};

}  // namespace vorn::chip
