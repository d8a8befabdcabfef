#include "platform/basalt/uuid.h"

#include <sys/random.h>
#include <uuid/uuid.h>

#include <cstring>

namespace {

// Random bytes drawn from the kernel in blocks: one getrandom call serves 256 UUIDs, where
// libuuid's generator costs six system calls for each.
class RandomPool {
 public:
  bool Take(unsigned char* out, size_t size) {
    if (used_ + size > sizeof block_) {
      if (!Refill()) return false;
    }
    std::memcpy(out, block_ + used_, size);
    // Handed-out bytes never stay behind in memory.
    std::memset(block_ + used_, 0, size);
    used_ += size;
    return true;
  }

 private:
  bool Refill() {
    size_t filled = 0;
    while (filled < sizeof block_) {
      ssize_t n = getrandom(block_ + filled, sizeof block_ - filled, 0);
      if (n <= 0) return false;
      filled += static_cast<size_t>(n);
    }
    used_ = 0;
    return true;
  }

  unsigned char block_[4096];
  size_t used_ = sizeof block_;
};

}  // namespace

bool UUID_CreateRandom(unsigned char (&out)[16]) {
  thread_local RandomPool pool;
  if (!pool.Take(out, sizeof out)) return false;
  out[6] = static_cast<unsigned char>((out[6] & 0x0f) | 0x40);  // version 4
  out[8] = static_cast<unsigned char>((out[8] & 0x3f) | 0x80);  // DCE variant
  return true;
}

std::string UUID_PackText(const unsigned char (&uuid)[16]) {
  std::string text;
  UUID_AppendText(uuid, text);
  return text;
}

void UUID_AppendText(const unsigned char (&uuid)[16], std::string& out) {
  char text[37];
  uuid_unparse_lower(uuid, text);
  out.append(text, 36);
}
