// Counts failed password checks per (user name, calling host user) and refuses further attempts
// for a while once a caller has failed too often for one user, so that password guessing cannot
// be sped up by opening more connections.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/basalt/logger.h"

namespace TarnOrbi::Authn {

struct PasswordThrottleLimits {
  // Consecutive failures that are checked freely; the next attempt waits `firstPeriod`, and
  // each further failure doubles the wait up to `longestPeriod`.
  unsigned freeFailures = 5;
  std::chrono::seconds firstPeriod{1};
  std::chrono::seconds longestPeriod{15 * 60};
  // Pairs remembered (names cut to 257 bytes); a new one beyond them evicts the one with fewest
  // failures, oldest first.
  size_t maxEntries = 4096;
};

class PasswordThrottle {
 public:
  using Limits = PasswordThrottleLimits;
  using ClockFn = std::function<std::chrono::steady_clock::time_point()>;
  // The caller's host user; nullopt when it cannot be told, and then failures count by user name
  // alone (said once in the log).
  using CallerUid = std::optional<uint32_t>;

  PasswordThrottle(std::shared_ptr<Basalt::Service::Logger> logger, Limits limits = {},
                   ClockFn clock = nullptr);

  // Either admits one check (nullopt; the caller must then call Settle once), or says how many
  // whole seconds the caller should wait. Attempts in flight count as failures until settled, so
  // parallel connections cannot run more checks than the count allows. Thread-safe.
  std::optional<std::chrono::seconds> Admit(const std::string& user, CallerUid caller);

  enum class Outcome { kAccepted, kRefused, kNotChecked };
  // The result of an admitted check: success forgets the pair, a refusal counts (and from the
  // `freeFailures`th on starts a wait, logged once at level 3), kNotChecked only ends the
  // attempt. Thread-safe.
  void Settle(const std::string& user, CallerUid caller, Outcome outcome);

  size_t Size() const;
  const std::shared_ptr<Basalt::Service::Logger>& GetLogger() const { return logger_; }

 private:
  using Key = std::pair<std::string, CallerUid>;
  struct Entry {
    unsigned failures = 0;
    unsigned inFlight = 0;
    std::chrono::steady_clock::time_point blockedUntil{};
    uint64_t touched = 0;  // order of last use, for eviction
  };

  std::chrono::seconds PeriodAfter(unsigned failures) const;
  Entry& Find(const Key& key);
  void EvictOne();

  const std::shared_ptr<Basalt::Service::Logger> logger_;
  const Limits limits_;
  const ClockFn clock_;
  mutable std::mutex mutex_;  // guards the fields below
  std::map<Key, Entry> entries_;
  uint64_t uses_ = 0;
  bool unknownCallerLogged_ = false;
};

}  // namespace TarnOrbi::Authn
