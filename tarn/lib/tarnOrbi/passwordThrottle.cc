#include "tarnOrbi/passwordThrottle.h"

#include <algorithm>
#include <iterator>
#include <tuple>

#include "platform/basalt/authenticateUser.h"

namespace TarnOrbi::Authn {
namespace {

// Longer names are refused before the host is asked anyway; cut, a client's megabyte-long names
// cannot make the table large.
constexpr size_t kKeptNameLength = Basalt::System::kMaxAuthUserNameLength + 1;

std::string CallerText(const PasswordThrottle::CallerUid& caller) {
  return caller ? std::to_string(*caller) : std::string("unknown");
}

}  // namespace

PasswordThrottle::PasswordThrottle(std::shared_ptr<Basalt::Service::Logger> logger, Limits limits,
                                   ClockFn clock)
    : logger_(std::move(logger)),
      limits_(limits),
      clock_(clock ? std::move(clock) : ClockFn(&std::chrono::steady_clock::now)) {}

std::chrono::seconds PasswordThrottle::PeriodAfter(unsigned failures) const {
  const unsigned doublings = std::min(failures - limits_.freeFailures, 30U);
  return std::min(limits_.longestPeriod, limits_.firstPeriod * (int64_t{1} << doublings));
}

// Past the free failures one check at a time: its outcome decides the next wait.
unsigned PasswordThrottle::Places(const Entry& entry) const {
  return entry.failures < limits_.freeFailures ? limits_.freeFailures - entry.failures : 1;
}

PasswordThrottle::Entry& PasswordThrottle::Find(const Key& key) {
  auto found = entries_.find(key);
  if (found == entries_.end()) {
    if (entries_.size() >= limits_.maxEntries) EvictOne();
    found = entries_.emplace(key, Entry{}).first;
  }
  found->second.touched = ++uses_;
  return found->second;
}

// Fewest failures first, so that a caller who fills the table with new names evicts its own
// fresh entries long before the count of a user it has been guessing at. A busy pair stays: its
// checks must settle against the count they were admitted under.
void PasswordThrottle::EvictOne() {
  auto victim = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (!it->second.Idle()) continue;
    if (victim == entries_.end() || std::tie(it->second.failures, it->second.touched) <
                                        std::tie(victim->second.failures, victim->second.touched)) {
      victim = it;
    }
  }
  if (victim != entries_.end()) entries_.erase(victim);
}

PasswordThrottle::Strangers& PasswordThrottle::StrangersOf(
    uint32_t caller, std::chrono::steady_clock::time_point now) {
  Strangers& strangers = strangers_[caller];
  if (strangers.failures > 0 && strangers.inFlight == 0 &&
      now - strangers.lastFailure >= limits_.longestPeriod) {
    strangers = Strangers{};
  }
  return strangers;
}

PasswordThrottle::Verdict PasswordThrottle::RefusedAsStranger(
    const Strangers& strangers, std::chrono::steady_clock::time_point now) const {
  if (now < strangers.blockedUntil) {
    return std::max(std::chrono::ceil<std::chrono::seconds>(strangers.blockedUntil - now),
                    std::chrono::seconds(1));
  }
  // Past the free failures one check at a time: the wait it would start, should it fail too.
  if (strangers.failures >= limits_.freeFailures && strangers.inFlight > 0) {
    return PeriodAfter(strangers.failures + strangers.inFlight);
  }
  return std::nullopt;
}

void PasswordThrottle::Admit(const std::string& user, CallerUid caller, DecidedFn decided) {
  Verdict verdict;
  {
    std::lock_guard lock(mutex_);
    if (!caller && !unknownCallerLogged_) {
      unknownCallerLogged_ = true;
      logger_->Log(3,
                   "The calling host user of a password check cannot be found; failures are "
                   "counted by user name alone");
    }
    Entry& entry = Find({user.substr(0, kKeptNameLength), caller});
    const auto now = clock_();
    Strangers* strangers = caller && entry.hostUser != true ? &StrangersOf(*caller, now) : nullptr;
    bool queue = false;
    if (now < entry.blockedUntil) {
      const auto left = std::chrono::ceil<std::chrono::seconds>(entry.blockedUntil - now);
      verdict = std::max(left, std::chrono::seconds(1));
    } else if (Verdict refused = strangers ? RefusedAsStranger(*strangers, now) : std::nullopt;
               refused) {
      verdict = refused;
    } else if (entry.inFlight < Places(entry)) {
      ++entry.inFlight;
      if (strangers) {
        ++strangers->inFlight;
        ++entry.strangerChecks;
      }
    } else if (entry.waiting.size() < limits_.maxWaiting) {
      queue = true;
    } else {
      // The wait the attempts in flight would start if they all failed.
      verdict = PeriodAfter(std::max(entry.failures + entry.inFlight, limits_.freeFailures));
    }
    if (strangers) ForgetIfIdle(*caller, *strangers);
    if (queue) {
      entry.waiting.push_back(std::move(decided));
      return;
    }
  }
  decided(verdict, false);
}

void PasswordThrottle::Settle(const std::string& user, CallerUid caller, Outcome outcome) {
  std::vector<DecidedFn> decided;
  Verdict verdict;
  {
    std::lock_guard lock(mutex_);
    auto found = entries_.find({user.substr(0, kKeptNameLength), caller});
    if (found == entries_.end()) return;  // never admitted here
    Entry& entry = found->second;
    if (entry.inFlight > 0) --entry.inFlight;
    if (caller) SettleStranger(*caller, entry, outcome);
    if (outcome != Outcome::kNotChecked) {
      entry.hostUser = outcome != Outcome::kRefusedUnknownName;
    }
    if (outcome == Outcome::kAccepted) {
      entry.failures = 0;
      entry.blockedUntil = {};
    } else if ((outcome == Outcome::kRefused || outcome == Outcome::kRefusedUnknownName) &&
               ++entry.failures >= limits_.freeFailures) {
      verdict = PeriodAfter(entry.failures);
      entry.blockedUntil = clock_() + *verdict;
      // A told caller's names of no host user have been said together (SettleStranger).
      if (outcome == Outcome::kRefused || !caller) {
        const std::string named =
            outcome == Outcome::kRefused ? "user " + user : std::string("a name of no host user");
        logger_->Log(3,
                     "Password attempts for %1 from caller uid %2 refused for %3 s after %4 "
                     "consecutive failures",
                     named, CallerText(caller), verdict->count(), entry.failures);
      }
    }
    auto& waiting = entry.waiting;
    const size_t places = entry.inFlight < Places(entry) ? Places(entry) - entry.inFlight : 0;
    const size_t taken = verdict ? waiting.size() : std::min(places, waiting.size());
    if (!verdict) entry.inFlight += static_cast<unsigned>(taken);
    decided.assign(std::make_move_iterator(waiting.begin()),
                   std::make_move_iterator(waiting.begin() + static_cast<ptrdiff_t>(taken)));
    waiting.erase(waiting.begin(), waiting.begin() + static_cast<ptrdiff_t>(taken));
    // A host user's name stays known (until evicted), so that its attempts are never held back
    // with its caller's names of no host user.
    if (entry.Idle() && entry.failures == 0 && entry.hostUser != true) entries_.erase(found);
  }
  for (auto& decide : decided) decide(verdict, true);
}

void PasswordThrottle::SettleStranger(uint32_t caller, Entry& entry, Outcome outcome) {
  if (entry.strangerChecks == 0 && outcome != Outcome::kRefusedUnknownName) return;
  const auto now = clock_();
  Strangers& strangers = StrangersOf(caller, now);
  if (entry.strangerChecks > 0) {
    --entry.strangerChecks;
    if (strangers.inFlight > 0) --strangers.inFlight;
  }
  if (outcome == Outcome::kRefusedUnknownName) {
    strangers.lastFailure = now;
    if (++strangers.failures >= limits_.freeFailures) {
      const std::chrono::seconds period = PeriodAfter(strangers.failures);
      strangers.blockedUntil = now + period;
      logger_->Log(3,
                   "Password attempts for names of no host user from caller uid %1 refused for "
                   "%2 s after %3 failures on such names",
                   caller, period.count(), strangers.failures);
    }
  }
  ForgetIfIdle(caller, strangers);
}

void PasswordThrottle::ForgetIfIdle(uint32_t caller, const Strangers& strangers) {
  if (strangers.failures == 0 && strangers.inFlight == 0) strangers_.erase(caller);
}

std::optional<bool> PasswordThrottle::HostUser(const std::string& user, CallerUid caller) const {
  std::lock_guard lock(mutex_);
  auto found = entries_.find({user.substr(0, kKeptNameLength), caller});
  return found == entries_.end() ? std::nullopt : found->second.hostUser;
}

size_t PasswordThrottle::Size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace TarnOrbi::Authn
