// Expected<T>: the value of a call, or the Error that stopped it. Every public
// function reports failure this way; no exception leaves the library.
#pragma once

#include <utility>
#include <variant>

#include "brevane/error.hpp"

namespace brevane {

template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) noexcept : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT
  Expected(Error error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  [[nodiscard]] bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // The value; asking for it from an error throws std::bad_variant_access, the
  // caller's mistake as with std::get.
  [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
  [[nodiscard]] T& value() & { return std::get<0>(state_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
  [[nodiscard]] const T& operator*() const& { return value(); }
  [[nodiscard]] T& operator*() & { return value(); }
  [[nodiscard]] const T* operator->() const { return &value(); }
  [[nodiscard]] T* operator->() { return &value(); }

  // The error; only meaningful when has_value() is false.
  [[nodiscard]] const Error& error() const& { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

}  // namespace brevane
