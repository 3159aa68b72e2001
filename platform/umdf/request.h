// Requests and memory objects: a request is formatted as a write on an OUT pipe over a
// memory object and sent synchronously; a memory object describes a buffer it may or may not
// own.
#pragma once

#include <mutex>
#include <vector>

#include "platform/umdf/object.h"

namespace vorn::umdf {

class Memory : public Object {
 public:
  // Over the caller's buffer (preallocated memory: not freed with the object).
  Memory(HostState* host, void* buffer, size_t size, bool caller_owned)
      : Object(host, Kind::kMemory, caller_owned), buffer_(buffer), size_(size) {}
  // Owning a zeroed buffer of |size| bytes (the reader's buffers).
  Memory(HostState* host, size_t size)
      : Object(host, Kind::kMemory, false), owned_(size), buffer_(owned_.data()), size_(size) {}

  void* buffer() const { return buffer_; }
  size_t size() const { return size_; }

 private:
  std::vector<uint8_t> owned_;
  void* buffer_;
  size_t size_;
};

class Request : public Object {
 public:
  explicit Request(HostState* host) : Object(host, Kind::kRequest, true) {}

  std::mutex lock;  // guards the fields below
  bool formatted = false;
  bool in_flight = false;
  Object* pipe = nullptr;        // the pipe the request is formatted for
  const void* memory = nullptr;  // handle of the memory to write, resolved at send
  size_t offset = 0;
  size_t length = 0;
  NTSTATUS status = STATUS_SUCCESS;
};

}  // namespace vorn::umdf
