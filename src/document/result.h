// Result<T>: a value or one DocumentError. Errors are values in the core; only
// the module boundary turns them into host exceptions.
#pragma once

#include <utility>
#include <variant>

#include "document/document_error.h"

namespace brevane {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}              // NOLINT: implicit by design
  Result(DocumentError error) : state_(std::move(error)) {}  // NOLINT: implicit by design

  [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
  [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
  [[nodiscard]] T& value() & { return std::get<0>(state_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
  [[nodiscard]] const DocumentError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, DocumentError> state_;
};

}  // namespace brevane
