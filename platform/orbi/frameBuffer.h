// The bytes of one frame: a request body as it is read, or an answer on its way to the wire.
// Owned through a shared_ptr by the exchange that fills and reads it; not thread-safe.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace Orbi::Transport {

class FrameBuffer {
 public:
  FrameBuffer() = default;  // allocates nothing until room is prepared
  // A frame of these bytes, taken without a copy.
  explicit FrameBuffer(std::string bytes) : bytes_(std::move(bytes)), size_(bytes_.size()) {}

  // Room for `n` more bytes after the frame's; valid until the next Prepare or Take.
  std::span<char> Prepare(size_t n) {
    bytes_.resize(size_ + n);
    return {bytes_.data() + size_, n};
  }
  // Adds the first `n` prepared bytes to the frame (never more than were prepared).
  void Commit(size_t n) { size_ = std::min(size_ + n, bytes_.size()); }

  std::string_view View() const { return {bytes_.data(), size_}; }
  size_t Size() const { return size_; }

  // Hands the frame's bytes over without a copy and leaves the buffer empty.
  std::string Take() {
    bytes_.resize(size_);
    size_ = 0;
    return std::exchange(bytes_, std::string());
  }

 private:
  std::string bytes_;  // the frame, then any prepared room
  size_t size_ = 0;
};

}  // namespace Orbi::Transport
