#include "tarnOrbi/passwordThrottle.h"

#include <algorithm>

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
// fresh entries long before the count of a user it has been guessing at.
void PasswordThrottle::EvictOne() {
  auto rank = [](const Entry& entry) {
    return std::make_tuple(entry.inFlight > 0, entry.failures, entry.touched);
  };
  auto victim = std::min_element(entries_.begin(), entries_.end(),
                                 [&](auto& a, auto& b) { return rank(a.second) < rank(b.second); });
  if (victim != entries_.end()) entries_.erase(victim);
}

std::optional<std::chrono::seconds> PasswordThrottle::Admit(const std::string& user,
                                                            CallerUid caller) {
  std::lock_guard lock(mutex_);
  if (!caller && !unknownCallerLogged_) {
    unknownCallerLogged_ = true;
    logger_->Log(3,
                 "The calling host user of a password check cannot be found; failures are counted "
                 "by user name alone");
  }
  Entry& entry = Find({user.substr(0, kKeptNameLength), caller});
  const auto now = clock_();
  if (now < entry.blockedUntil) {
    const auto left = std::chrono::ceil<std::chrono::seconds>(entry.blockedUntil - now);
    return std::max(left, std::chrono::seconds(1));
  }
  // Past the free failures one check at a time: its outcome decides the next wait.
  const unsigned allowed =
      entry.failures < limits_.freeFailures ? limits_.freeFailures - entry.failures : 1;
  if (entry.inFlight >= allowed) {
    return entry.failures + entry.inFlight >= limits_.freeFailures
               ? PeriodAfter(std::max(entry.failures + entry.inFlight, limits_.freeFailures))
               : limits_.firstPeriod;
  }
  ++entry.inFlight;
  return std::nullopt;
}

void PasswordThrottle::Settle(const std::string& user, CallerUid caller, Outcome outcome) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find({user.substr(0, kKeptNameLength), caller});
  if (found == entries_.end()) return;  // evicted or reset by a success meanwhile
  Entry& entry = found->second;
  if (entry.inFlight > 0) --entry.inFlight;
  switch (outcome) {
    case Outcome::kAccepted:
      entries_.erase(found);
      return;
    case Outcome::kNotChecked:
      if (entry.failures == 0 && entry.inFlight == 0) entries_.erase(found);
      return;
    case Outcome::kRefused:
      break;
  }
  ++entry.failures;
  if (entry.failures < limits_.freeFailures) return;
  const auto period = PeriodAfter(entry.failures);
  entry.blockedUntil = clock_() + period;
  logger_->Log(3,
               "Password attempts for user %1 from caller uid %2 refused for %3 s after %4 "
               "consecutive failures",
               user, CallerText(caller), period.count(), entry.failures);
}

size_t PasswordThrottle::Size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace TarnOrbi::Authn
