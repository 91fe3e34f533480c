#pragma once

// Relay buffers of one loop. A connection holds one only while bytes it read
// wait to be sent on, so an idle connection costs no buffer at all.

#include <cstddef>
#include <memory>
#include <vector>

namespace tarnwicket {

inline constexpr std::size_t kRelayBufferBytes = 65536;

class BufferPool {
 public:
  using Buffer = std::unique_ptr<char[]>;

  BufferPool() { free_.reserve(kKept); }

  // A buffer of kRelayBufferBytes; throws std::bad_alloc.
  Buffer take();
  // Keeps a few for the next reads; the rest go back to the allocator.
  void give(Buffer buffer);

 private:
  static constexpr std::size_t kKept = 16;
  std::vector<Buffer> free_;
};

}  // namespace tarnwicket
