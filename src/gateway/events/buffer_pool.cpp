#include "gateway/events/buffer_pool.h"

namespace tarnwicket {

BufferPool::Buffer BufferPool::take() {
  if (free_.empty()) return std::make_unique_for_overwrite<char[]>(kRelayBufferBytes);
  Buffer buffer = std::move(free_.back());
  free_.pop_back();
  return buffer;
}

void BufferPool::give(Buffer buffer) {
  if (!buffer || free_.size() >= kKept) return;
  free_.push_back(std::move(buffer));
}

}  // namespace tarnwicket
