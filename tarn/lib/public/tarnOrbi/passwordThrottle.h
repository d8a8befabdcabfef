// Counts failed password checks per (user name, calling host user) and refuses further attempts
// for a while once a caller has failed too often for one user, so that password guessing cannot
// be sped up by opening more connections. Parallel attempts beyond the checks the count allows
// wait for a place rather than being refused, so that a caller with the right password is never
// throttled for being busy.
//
// Names of no host user also count together per calling host user: a caller that makes up a new
// name for every attempt would otherwise have five free checks of each, and every refused check
// is a line of the host's authentication log, which shares the daemon's journal limit. Once a
// caller has failed `freeFailures` times on such names (none of them more than `longestPeriod`
// after the one before), its attempts for names not known to be a host user's are refused for
// the same doubling waits, and checked one at a time between them. Before that, the caller's
// checks in flight for names not known to be a host user's (a fresh name included: whether the
// host has it is learnt only when its check settles) count against those free failures too, so
// that a flood of new names runs at most `freeFailures` checks at once; further such attempts
// wait for a place (up to `maxWaiting` per caller, refused beyond) like a pair's, and are refused
// with the wait when a settlement starts one. Names a check found to be a host user's never
// count here, so their attempts go on as before.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/basalt/logger.h"

namespace TarnOrbi::Authn {

struct PasswordThrottleLimits {
  // Consecutive failures that are checked freely; the next attempt waits `firstPeriod`, and
  // each further failure doubles the wait up to `longestPeriod`.
  unsigned freeFailures = 5;
  std::chrono::seconds firstPeriod{1};
  std::chrono::seconds longestPeriod{15 * 60};
  // Attempts of one pair, and of one caller's names of no host user, that wait for a check to
  // settle; one beyond them is refused at once.
  size_t maxWaiting = 64;
  // Pairs remembered (names cut to 257 bytes); a new one beyond them evicts the idle one with
  // fewest failures, oldest first. Pairs with attempts in flight or waiting are never evicted, so
  // while all are busy the table grows past this, by at most the calls in progress.
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

  // nullopt admits one check, which the caller must then Settle once; otherwise the whole seconds
  // the caller should wait.
  using Verdict = std::optional<std::chrono::seconds>;
  // `waited` tells an attempt that waited for a place, decided on the thread of another's Settle.
  using DecidedFn = std::function<void(Verdict verdict, bool waited)>;

  // Decides an attempt and calls `decided` once with the verdict: at once, on this thread, when
  // there is room or a wait is on; otherwise the attempt waits (up to `maxWaiting` per pair, and
  // per caller for names not known to be a host user's, refused beyond) and `decided` runs later on
  // the thread of the Settle that frees a place or starts a wait, outside the lock, or never if the
  // throttle goes first. Attempts in flight count as failures until settled, so parallel
  // connections cannot run more checks than the count allows (and past the free failures, one at a
  // time). Thread-safe.
  void Admit(const std::string& user, CallerUid caller, DecidedFn decided);

  // kRefusedUnknownName: refused, and the host has no user of that name; counted as kRefused,
  // but its log line leaves the name out (it may be a password typed into the wrong field).
  enum class Outcome { kAccepted, kRefused, kRefusedUnknownName, kNotChecked };
  // The result of an admitted check: success clears the count and any wait, a refusal counts
  // (and from the `freeFailures`th on starts a wait, logged once at level 3, which every waiting
  // attempt of the pair is refused with), kNotChecked only ends the attempt. Waiting attempts
  // then take the places the count allows, oldest first. Runs their `decided` on this thread
  // before it returns. Thread-safe.
  void Settle(const std::string& user, CallerUid caller, Outcome outcome);

  // What the last settled check of the pair found of the name: whether the host has that user;
  // nullopt before one. Lets an attempt refused unchecked be recorded as its checks were.
  std::optional<bool> HostUser(const std::string& user, CallerUid caller) const;

  size_t Size() const;
  const std::shared_ptr<Basalt::Service::Logger>& GetLogger() const { return logger_; }

 private:
  using Key = std::pair<std::string, CallerUid>;
  struct Entry {
    unsigned failures = 0;
    unsigned inFlight = 0;
    std::chrono::steady_clock::time_point blockedUntil{};
    uint64_t touched = 0;            // order of last use, for eviction
    std::optional<bool> hostUser;    // see HostUser
    unsigned strangerChecks = 0;     // of `inFlight`, those also counted in the caller's Strangers
    unsigned strangerWaiting = 0;    // attempts waiting in the caller's Strangers for a place
    std::vector<DecidedFn> waiting;  // oldest first; empty unless `inFlight` fills the places
    bool Idle() const { return inFlight == 0 && waiting.empty() && strangerWaiting == 0; }
  };

  // A calling host user's failures on names of no host user.
  struct Strangers {
    unsigned failures = 0;
    unsigned inFlight = 0;
    std::chrono::steady_clock::time_point blockedUntil{};
    std::chrono::steady_clock::time_point lastFailure{};
    // Attempts whose pair had a place but the caller's names of no host user had none, oldest
    // first; their pairs count them in `strangerWaiting`.
    std::deque<std::pair<Key, DecidedFn>> waiting;
  };
  // Attempts decided under the lock, with their verdicts; their `decided` runs after it.
  using Decisions = std::vector<std::pair<DecidedFn, Verdict>>;

  std::chrono::seconds PeriodAfter(unsigned failures) const;
  // The wait that `counted` failures and checks in flight would start if they all failed.
  std::chrono::seconds PeriodIfAllFail(unsigned counted) const;
  unsigned Places(const Entry& entry) const;
  // The caller's Strangers, its count forgotten after a quiet `longestPeriod`.
  Strangers& StrangersOf(uint32_t caller, std::chrono::steady_clock::time_point now);
  // Why an attempt for a name not known to be a host user's is refused unchecked, if it is.
  Verdict RefusedAsStranger(const Strangers& strangers,
                            std::chrono::steady_clock::time_point now) const;
  // Whether the caller's names not known to be a host user's have room for one more check.
  bool StrangerPlace(const Strangers& strangers) const;
  // Decides an attempt of `entry`, which has a place of its own: admitted, refused, or left to
  // wait in `strangers` (none when the name is known to be a host user's or the caller unknown).
  void Place(const Key& key, Entry& entry, Strangers* strangers, DecidedFn decided,
             Decisions& decisions);
  // Hands the places a settlement freed to the caller's attempts waiting in its Strangers.
  void HandStrangerPlaces(uint32_t caller, Decisions& decisions);
  // Ends an attempt's part in its caller's Strangers and counts a refused name of no host user.
  void SettleStranger(uint32_t caller, Entry& entry, Outcome outcome);
  // Drops a record that holds no count, check or waiting attempt, so that only such callers are
  // kept.
  void ForgetIfIdle(uint32_t caller, const Strangers& strangers);
  Entry& Find(const Key& key);
  void EvictOne();

  const std::shared_ptr<Basalt::Service::Logger> logger_;
  const Limits limits_;
  const ClockFn clock_;
  mutable std::mutex mutex_;  // guards the fields below
  std::map<Key, Entry> entries_;
  std::map<uint32_t, Strangers> strangers_;  // only callers with a count, a check or a wait
  uint64_t uses_ = 0;
  bool unknownCallerLogged_ = false;
};

}  // namespace TarnOrbi::Authn
