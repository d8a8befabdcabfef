#include "platform/basalt/dateTime.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/basalt/format.h"

namespace Basalt::System {
namespace {

constexpr int64_t kMicrosPerSecond = 1000000;
constexpr int64_t kSecondsPerDay = 86400;

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  int Digits(size_t count) {
    int value = 0;
    for (size_t i = 0; i < count; ++i) {
      if (pos_ >= text_.size() || text_[pos_] < '0' || text_[pos_] > '9') Fail();
      value = value * 10 + (text_[pos_++] - '0');
    }
    return value;
  }
  void Expect(char c) {
    if (!Accept(c)) Fail();
  }
  bool Accept(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool AtDigit() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }
  bool AtEnd() const { return pos_ == text_.size(); }
  [[noreturn]] void Fail() const {
    throw DateTimeFormatException(Format("Invalid ISO 8601 date-time: '%1'", text_));
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

DateTime::DateTime(std::string_view iso8601) {
  Scanner in(iso8601);
  const int year = in.Digits(4);
  in.Expect('-');
  const int month = in.Digits(2);
  in.Expect('-');
  const int day = in.Digits(2);
  in.Expect('T');
  const int hour = in.Digits(2);
  in.Expect(':');
  const int minute = in.Digits(2);
  in.Expect(':');
  const int second = in.Digits(2);
  int64_t micros = 0;
  if (in.Accept('.')) {
    if (!in.AtDigit()) in.Fail();
    int64_t scale = 100000;
    while (in.AtDigit()) {
      micros += in.Digits(1) * scale;
      scale /= 10;
    }
  }
  int64_t offsetSeconds = 0;
  const int offsetSign = in.Accept('+') ? 1 : in.Accept('-') ? -1 : 0;
  if (offsetSign != 0) {
    const int offsetHours = in.Digits(2);
    in.Expect(':');
    const int offsetMinutes = in.Digits(2);
    if (offsetHours > 14 || offsetMinutes > 59) in.Fail();
    offsetSeconds = offsetSign * (offsetHours * 3600 + offsetMinutes * 60);
  } else {
    in.Accept('Z');
  }
  if (!in.AtEnd() || year < 1 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59) {
    in.Fail();
  }
  const int64_t seconds =
      DaysFromCivil(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  utcMicroseconds_ = (seconds - offsetSeconds) * kMicrosPerSecond + micros;
}

DateTime DateTime::FromUtcMicroseconds(int64_t microseconds) {
  DateTime result;
  result.utcMicroseconds_ = microseconds;
  return result;
}

std::string DateTime::ToString() const {
  const int64_t seconds = FloorDiv(utcMicroseconds_, kMicrosPerSecond);
  const int64_t micros = utcMicroseconds_ - seconds * kMicrosPerSecond;
  const int64_t days = FloorDiv(seconds, kSecondsPerDay);
  const int64_t secondOfDay = seconds - days * kSecondsPerDay;
  int64_t year = 0;
  int month = 0;
  int day = 0;
  CivilFromDays(days, year, month, day);
  char text[64];
  int length =
      std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d",
                    static_cast<long long>(year), month, day, static_cast<int>(secondOfDay / 3600),
                    static_cast<int>(secondOfDay / 60 % 60), static_cast<int>(secondOfDay % 60));
  if (micros != 0) {
    length += std::snprintf(text + length, sizeof text - length, ".%06lld",
                            static_cast<long long>(micros));
  }
  return std::string(text, length) + "Z";
}

DateTime GetUtcDateTime() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return DateTime::FromUtcMicroseconds(
      std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch).count());
}

void AppendUtcMilliseconds(std::string& out, int64_t unixMilliseconds) {
  // "2026-01-02T03:04:05" of the second last written by this thread.
  thread_local int64_t tSecond = -1;
  thread_local char tSecondText[20];
  const int64_t second = unixMilliseconds / 1000;
  const int millis = static_cast<int>(unixMilliseconds % 1000);
  if (second != tSecond || millis < 0) {
    const auto seconds = static_cast<std::time_t>(second);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    const int year = parts.tm_year + 1900;
    if (year < 0 || year > 9999 || millis < 0) {
      char text[64];
      std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year,
                    parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                    millis);
      out += text;
      return;
    }
    // Every log line carries one: written by hand, which costs a tenth of snprintf.
    const auto put = [](char* at, int value, int digits) {
      for (int i = digits - 1; i >= 0; --i, value /= 10)
        at[i] = static_cast<char>('0' + value % 10);
    };
    std::memcpy(tSecondText, "0000-00-00T00:00:00", sizeof tSecondText);
    put(tSecondText, year, 4);
    put(tSecondText + 5, parts.tm_mon + 1, 2);
    put(tSecondText + 8, parts.tm_mday, 2);
    put(tSecondText + 11, parts.tm_hour, 2);
    put(tSecondText + 14, parts.tm_min, 2);
    put(tSecondText + 17, parts.tm_sec, 2);
    tSecond = second;
  }
  const char fraction[] = {'.', static_cast<char>('0' + millis / 100),
                           static_cast<char>('0' + millis / 10 % 10),
                           static_cast<char>('0' + millis % 10), 'Z'};
  out.append(tSecondText, 19);
  out.append(fraction, sizeof fraction);
}

std::string FormatUtcMilliseconds(int64_t unixMilliseconds) {
  std::string text;
  AppendUtcMilliseconds(text, unixMilliseconds);
  return text;
}

int64_t UtcMicrosecondsNow() { return GetUtcDateTime().GetUtcTime(); }

UtcClock SystemUtcClock() { return &GetUtcDateTime; }

UtcClock FixedUtcClock(DateTime instant) {
  return [instant] { return instant; };
}

}  // namespace Basalt::System
