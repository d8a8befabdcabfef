// Result<T, E>: a value, or the expected outcome that stands in for it (a refused token, an
// input that does not fit its declaration). Failures that are not part of a function's contract
// travel as exceptions instead. The names follow C++23's std::expected, so moving to it later is
// a rename. A value type: copyable and movable when T and E are; no thread safety of its own.
#pragma once

#include <concepts>
#include <type_traits>
#include <utility>
#include <variant>

namespace Basalt {

template <class E>
struct Unexpected {
  E error;
};
template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  template <class U = T>
  requires std::constructible_from<T, U&&> &&
      (!std::same_as<std::remove_cvref_t<U>, Result>)Result(U&& value)
      : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  template <class G>
  requires std::constructible_from<E, G&&> Result(Unexpected<G> failure)
      : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // Reading the side that is not held throws std::bad_variant_access.
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const E& error() const { return std::get<1>(state_); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> state_;
};

}  // namespace Basalt
