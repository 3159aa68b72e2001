#include "sim/chip/request_script.h"

namespace vorn::chip {

void RequestScript::OnRequest(uint8_t code, ScriptAction action) { Queue(code, action); }

void RequestScript::OnEndpoint(uint8_t endpoint, ScriptAction action) {
  Queue(kEndpointKey | endpoint, action);
}

std::optional<ScriptAction> RequestScript::NextForRequest(uint8_t code) { return Next(code); }

std::optional<ScriptAction> RequestScript::NextForEndpoint(uint8_t endpoint) {
  return Next(kEndpointKey | endpoint);
}

void RequestScript::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  queues_.clear();
}

void RequestScript::Queue(uint32_t key, ScriptAction action) {
  if (action.times == 0) return;
  std::lock_guard<std::mutex> guard(lock_);
  queues_[key].push_back(action);
}

std::optional<ScriptAction> RequestScript::Next(uint32_t key) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = queues_.find(key);
  if (it == queues_.end() || it->second.empty()) return std::nullopt;
  ScriptAction& front = it->second.front();
  ScriptAction taken = front;
  if (front.times != ScriptAction::kForever && --front.times == 0) it->second.pop_front();
  return taken;
}

}  // namespace vorn::chip
