// What the two library APIs (cpp_api.cpp, c_api.cpp) share at their edge: the
// core's DocumentError as a public Error, any exception as an Error value, and
// the argument rules that a Python caller never gets to break. The Python
// module has its own edge (src/module) over the same core.
#pragma once

#include <optional>
#include <string_view>

#include "brevane/error.hpp"
#include "document/document_error.h"

namespace brevane::api {

// The public kind of a core error.
ErrorKind kind_of(DocumentErrorKind kind) noexcept;

// The same kind, and the text the module raises: the message, then " [code]".
Error to_error(const DocumentError& error);

// The exception in flight as an Error: OutOfMemory for std::bad_alloc, else an
// InternalFault with what() (a fixed text when there is none). Call only from
// a catch block.
Error current_fault() noexcept;

// An InvalidArgument naming the parameter, as the module prefixes its TypeErrors.
Error invalid_argument(std::string_view parameter, std::string_view problem);

// Runs one call's body; whatever it throws comes back as an Error value. The
// body returns an Expected<T> or an optional<Error>, which an Error converts to.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    return current_fault();
  }
}

}  // namespace brevane::api
