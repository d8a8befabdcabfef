// A bounded map from exact texts to what was worked out from them, for results that depend on
// the text alone and are asked for again and again: a client presents the same token on every
// call until it expires.
//
// Bounded by bytes: keys and values together take at most `maxBytes` (the values' size counted as
// sizeof(Value) plus what `extraBytes` says they hold); a text longer than a sixteenth of that is
// never kept. When an insertion would pass the bound, everything kept is dropped first: simple,
// bounded, and the next calls fill it again.
//
// Thread-safe: any number of threads may call Find and Insert at once.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/basalt/hashedText.h"

namespace Basalt {

template <class Value>
class RecentCache {
 public:
  using ExtraBytesFn = std::function<size_t(const Value&)>;

  explicit RecentCache(size_t maxBytes, ExtraBytesFn extraBytes = nullptr)
      : maxBytes_(maxBytes), extraBytes_(std::move(extraBytes)) {}

  RecentCache(const RecentCache&) = delete;
  RecentCache& operator=(const RecentCache&) = delete;

  std::optional<Value> Find(const HashedText& key) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
  }

  void Insert(const HashedText& key, Value value) {
    const size_t cost =
        kEntryOverhead + key.text.size() + sizeof(Value) + (extraBytes_ ? extraBytes_(value) : 0);
    if (key.text.size() > maxBytes_ / 16 || cost > maxBytes_) return;
    std::lock_guard lock(mutex_);
    if (entries_.find(key) != entries_.end()) return;
    if (usedBytes_ + cost > maxBytes_) {
      entries_.clear();
      usedBytes_ = 0;
    }
    entries_.emplace(std::string(key.text), std::move(value));
    usedBytes_ += cost;
  }

 private:
  // A node, its hash and bucket, and the key's string header.
  static constexpr size_t kEntryOverhead = 64;

  const size_t maxBytes_;
  const ExtraBytesFn extraBytes_;
  mutable std::mutex mutex_;  // guards entries_ and usedBytes_
  std::unordered_map<std::string, Value, TextHash, std::equal_to<>> entries_;
  size_t usedBytes_ = 0;
};

}  // namespace Basalt
