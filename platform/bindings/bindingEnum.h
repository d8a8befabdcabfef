// An enumeration of a service interface as the bindings carry it: one of the known values, or
// the unknown value that keeps the text it was read from, so that nothing is lost in transit.
//
// Traits supply `enum Value { ..., UNKNOWN }`, with the known values numbered from 0, and
// `static constexpr std::array<std::string_view, UNKNOWN> kNames` in value order.
#pragma once

#include <string>
#include <string_view>

namespace Com::Tessel::Bindings {

template <class Traits>
class BindingEnum : public Traits {
 public:
  using Value = typename Traits::Value;

  BindingEnum(Value value = Value{}) : value_(value) {}  // NOLINT: implicit from a constant

  // The known value named by text, else the unknown value keeping text.
  static BindingEnum FromString(std::string_view text) {
    for (size_t i = 0; i < Traits::kNames.size(); ++i) {
      if (Traits::kNames[i] == text) return BindingEnum(static_cast<Value>(i));
    }
    BindingEnum unknown(Traits::UNKNOWN);
    unknown.unknownText_ = text;
    return unknown;
  }

  Value GetValue() const { return value_; }
  bool IsUnknown() const { return value_ == Traits::UNKNOWN; }

  // The value's name; for the unknown value, the text it was read from.
  std::string ToString() const {
    return IsUnknown() ? unknownText_ : std::string(Traits::kNames[value_]);
  }

  bool operator==(const BindingEnum& other) const {
    return value_ == other.value_ && (!IsUnknown() || unknownText_ == other.unknownText_);
  }
  bool operator==(Value value) const { return value_ == value; }

 private:
  Value value_;
  std::string unknownText_;
};

}  // namespace Com::Tessel::Bindings
