#pragma once

#include <utility>
#include <variant>

namespace tarnwick {

// Either a value or an expected failure. Failures are values in this library;
// exceptions are kept for broken invariants.
template <class T, class E>
class [[nodiscard]] Result {
 public:
  static Result ok(T value) { return Result(std::in_place_index<0>, std::move(value)); }
  static Result err(E error) { return Result(std::in_place_index<1>, std::move(error)); }

  [[nodiscard]] bool has_value() const noexcept { return data_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // Precondition: has_value() (resp. !has_value()); checked, a breach throws.
  [[nodiscard]] T& value() & { return std::get<0>(data_); }
  [[nodiscard]] const T& value() const& { return std::get<0>(data_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(data_)); }
  [[nodiscard]] E& error() & { return std::get<1>(data_); }
  [[nodiscard]] const E& error() const& { return std::get<1>(data_); }
  [[nodiscard]] E&& error() && { return std::get<1>(std::move(data_)); }

 private:
  template <std::size_t I, class V>
  Result(std::in_place_index_t<I> tag, V&& v) : data_(tag, std::forward<V>(v)) {}

  std::variant<T, E> data_;
};

}  // namespace tarnwick
