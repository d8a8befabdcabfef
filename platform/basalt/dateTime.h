// Points in time as UTC microsecond counts, read from and written as ISO 8601 text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/basalt/exception.h"

namespace Basalt {

// Raised when a text is not an ISO 8601 date-time.
class DateTimeFormatException : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace Basalt

namespace Basalt::System {

class DateTime {
 public:
  // The Unix epoch.
  DateTime() = default;

  // Parses "YYYY-MM-DDTHH:MM:SS[.fraction][Z|+HH:MM|-HH:MM]"; a time without a zone is UTC.
  // Fractions finer than a microsecond are truncated. Throws DateTimeFormatException.
  explicit DateTime(std::string_view iso8601);

  static DateTime FromUtcMicroseconds(int64_t microseconds);

  // Microseconds since 1970-01-01T00:00:00Z.
  int64_t GetUtcTime() const { return utcMicroseconds_; }

  // "YYYY-MM-DDTHH:MM:SS[.ffffff]Z"; the fraction appears only when it is not zero.
  std::string ToString() const;

  // clang-tidy 14 takes the defaulted comparison's internal 0 for a null pointer.
  // NOLINTNEXTLINE(modernize-use-nullptr)
  auto operator<=>(const DateTime&) const = default;

 private:
  int64_t utcMicroseconds_ = 0;
};

// The system clock's current UTC time.
DateTime GetUtcDateTime();
// The same instant as microseconds since the epoch, for callers that keep time as a number.
int64_t UtcMicrosecondsNow();
// RFC 3339 in UTC with milliseconds, as log lines and audit records write time:
// "2026-01-02T03:04:05.678Z".
std::string FormatUtcMilliseconds(int64_t unixMilliseconds);
// The same text appended to `out`. Each thread remembers the last second it wrote, so that lines
// of the same second take only their milliseconds anew.
void AppendUtcMilliseconds(std::string& out, int64_t unixMilliseconds);

// Where "now" comes from; tests and diagnostic tools pass a fixed instant.
using UtcClock = std::function<DateTime()>;

UtcClock SystemUtcClock();
UtcClock FixedUtcClock(DateTime instant);

}  // namespace Basalt::System
