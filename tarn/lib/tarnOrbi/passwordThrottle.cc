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

// The whole seconds until `until`, at least one.
std::chrono::seconds Left(std::chrono::steady_clock::time_point until,
                          std::chrono::steady_clock::time_point now) {
  return std::max(std::chrono::ceil<std::chrono::seconds>(until - now), std::chrono::seconds(1));
}

}  // namespace

PasswordThrottle::PasswordThrottle(std::shared_ptr<Basalt::Service::Logger> logger, Limits limits,
                                   ClockFn clock)
    : logger_(std::move(logger)),
      limits_(limits),
      clock_(clock ? std::move(clock) : ClockFn(&std::chrono::steady_clock::now)) {}

std::chrono::seconds PasswordThrottle::PeriodIfAllFail(unsigned counted) const {
  return PeriodAfter(std::max(counted, limits_.freeFailures));
}

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
  if (strangers.failures > 0 && strangers.inFlight == 0 && strangers.waiting.empty() &&
      now - strangers.lastFailure >= limits_.longestPeriod) {
    strangers = Strangers{};
  }
  return strangers;
}

PasswordThrottle::Verdict PasswordThrottle::RefusedAsStranger(
    const Strangers& strangers, std::chrono::steady_clock::time_point now) const {
  if (now < strangers.blockedUntil) {
    return Left(strangers.blockedUntil, now);
  }
  // Past the free failures one check at a time: the wait it would start, should it fail too.
  if (strangers.failures >= limits_.freeFailures && strangers.inFlight > 0) {
    return PeriodAfter(strangers.failures + strangers.inFlight);
  }
  return std::nullopt;
}

// Checks in flight count as failures until settled, as a pair's do: a fresh name may turn out to
// be nobody's only when its check settles.
bool PasswordThrottle::StrangerPlace(const Strangers& strangers) const {
  const unsigned places =
      strangers.failures < limits_.freeFailures ? limits_.freeFailures - strangers.failures : 1;
  return strangers.inFlight < places;
}

void PasswordThrottle::Place(const Key& key, Entry& entry, Strangers* strangers, DecidedFn decided,
                             Decisions& decisions) {
  if (strangers) {
    if (Verdict refused = RefusedAsStranger(*strangers, clock_()); refused) {
      decisions.emplace_back(std::move(decided), refused);
      return;
    }
    if (!StrangerPlace(*strangers)) {
      if (strangers->waiting.size() < limits_.maxWaiting) {
        strangers->waiting.emplace_back(key, std::move(decided));
        ++entry.strangerWaiting;
      } else {
        decisions.emplace_back(std::move(decided),
                               PeriodIfAllFail(strangers->failures + strangers->inFlight));
      }
      return;
    }
    ++strangers->inFlight;
    ++entry.strangerChecks;
  }
  ++entry.inFlight;
  decisions.emplace_back(std::move(decided), std::nullopt);
}

void PasswordThrottle::HandStrangerPlaces(uint32_t caller, Decisions& decisions) {
  auto record = strangers_.find(caller);
  if (record == strangers_.end()) return;
  Strangers& strangers = record->second;
  const auto now = clock_();
  while (!strangers.waiting.empty()) {
    Verdict refused = RefusedAsStranger(strangers, now);
    if (!refused && !StrangerPlace(strangers)) break;
    auto [key, decided] = std::move(strangers.waiting.front());
    strangers.waiting.pop_front();
    auto found = entries_.find(key);
    // Cannot be, as a pair with attempts waiting stays; but no attempt may be left undecided.
    if (found == entries_.end()) {
      decisions.emplace_back(std::move(decided), PeriodAfter(limits_.freeFailures));
      continue;
    }
    Entry& entry = found->second;
    --entry.strangerWaiting;
    if (now < entry.blockedUntil) refused = Left(entry.blockedUntil, now);
    if (refused) {
      decisions.emplace_back(std::move(decided), refused);
    } else if (entry.inFlight < Places(entry)) {
      Place(key, entry, &strangers, std::move(decided), decisions);
    } else {
      entry.waiting.push_back(std::move(decided));  // its pair's next settlement decides it
    }
  }
  ForgetIfIdle(caller, strangers);
}

void PasswordThrottle::Admit(const std::string& user, CallerUid caller, DecidedFn decided) {
  Decisions decisions;
  {
    std::lock_guard lock(mutex_);
    if (!caller && !unknownCallerLogged_) {
      unknownCallerLogged_ = true;
      logger_->Log(3,
                   "The calling host user of a password check cannot be found; failures are "
                   "counted by user name alone");
    }
    const Key key{user.substr(0, kKeptNameLength), caller};
    Entry& entry = Find(key);
    const auto now = clock_();
    Strangers* strangers = caller && entry.hostUser != true ? &StrangersOf(*caller, now) : nullptr;
    if (now < entry.blockedUntil) {
      decisions.emplace_back(std::move(decided), Left(entry.blockedUntil, now));
    } else if (Verdict refused = strangers ? RefusedAsStranger(*strangers, now) : std::nullopt;
               refused) {
      decisions.emplace_back(std::move(decided), refused);
    } else if (entry.inFlight < Places(entry)) {
      Place(key, entry, strangers, std::move(decided), decisions);
    } else if (entry.waiting.size() < limits_.maxWaiting) {
      entry.waiting.push_back(std::move(decided));
    } else {
      decisions.emplace_back(std::move(decided), PeriodIfAllFail(entry.failures + entry.inFlight));
    }
    if (strangers) ForgetIfIdle(*caller, *strangers);
  }
  for (auto& [decide, verdict] : decisions) decide(verdict, false);
}

void PasswordThrottle::Settle(const std::string& user, CallerUid caller, Outcome outcome) {
  Decisions decisions;
  {
    std::lock_guard lock(mutex_);
    const Key key{user.substr(0, kKeptNameLength), caller};
    auto found = entries_.find(key);
    if (found == entries_.end()) return;  // never admitted here
    Entry& entry = found->second;
    if (entry.inFlight > 0) --entry.inFlight;
    if (caller) SettleStranger(*caller, entry, outcome);
    if (outcome != Outcome::kNotChecked) {
      entry.hostUser = outcome != Outcome::kRefusedUnknownName;
    }
    Verdict verdict;
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
    // Attempts that wait with the caller's names of no host user come back to the pair once it
    // is known to be a host user's (never held back with them) or its wait answers them.
    if (caller && entry.strangerWaiting > 0 && (entry.hostUser == true || verdict)) {
      auto& held = strangers_[*caller].waiting;
      const auto ours = std::stable_partition(
          held.begin(), held.end(), [&key](const auto& item) { return item.first != key; });
      for (auto it = ours; it != held.end(); ++it) entry.waiting.push_back(std::move(it->second));
      held.erase(ours, held.end());
      entry.strangerWaiting = 0;
    }
    if (verdict) {
      for (auto& decide : entry.waiting) decisions.emplace_back(std::move(decide), verdict);
      entry.waiting.clear();
    } else {
      Strangers* strangers = caller && entry.hostUser != true && !entry.waiting.empty()
                                 ? &StrangersOf(*caller, clock_())
                                 : nullptr;
      // Taken oldest first; those the caller's names of no host user have no room for move on
      // to wait there.
      size_t taken = 0;
      while (taken < entry.waiting.size() && entry.inFlight < Places(entry)) {
        Place(key, entry, strangers, std::move(entry.waiting[taken++]), decisions);
      }
      entry.waiting.erase(entry.waiting.begin(),
                          entry.waiting.begin() + static_cast<ptrdiff_t>(taken));
    }
    if (caller) HandStrangerPlaces(*caller, decisions);
    // A host user's name stays known (until evicted), so that its attempts are never held back
    // with its caller's names of no host user.
    if (entry.Idle() && entry.failures == 0 && entry.hostUser != true) entries_.erase(found);
  }
  for (auto& [decide, verdict] : decisions) decide(verdict, true);
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
  if (strangers.failures == 0 && strangers.inFlight == 0 && strangers.waiting.empty()) {
    strangers_.erase(caller);
  }
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
