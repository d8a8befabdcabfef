// A byte source for parsers, and one over a text held in memory.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace Basalt {

class Reader {
 public:
  virtual ~Reader() = default;
  // Copies up to `size` bytes into `buffer`; 0 means the end of the input.
  virtual size_t Read(char* buffer, size_t size) = 0;
};

std::unique_ptr<Reader> CreateStringReader(std::string text);

}  // namespace Basalt
