#include "platform/basalt/xml/stringReader.h"

#include <algorithm>
#include <cstring>

namespace Basalt {
namespace {

class StringReader : public Reader {
 public:
  explicit StringReader(std::string text) : text_(std::move(text)) {}

  size_t Read(char* buffer, size_t size) override {
    const size_t count = std::min(size, text_.size() - position_);
    std::memcpy(buffer, text_.data() + position_, count);
    position_ += count;
    return count;
  }

 private:
  std::string text_;
  size_t position_ = 0;
};

}  // namespace

std::unique_ptr<Reader> CreateStringReader(std::string text) {
  return std::make_unique<StringReader>(std::move(text));
}

}  // namespace Basalt
