// BREVANE_CHECK and InternalFault: the one header every layer may include.
//
// A broken invariant of our own code is never a property of the input, so it is
// not a DocumentError: it throws InternalFault, which only the boundaries catch
// (the module turns it into native_runtime.PanicException, the library API into
// an InternalFault error).
#pragma once

#include <stdexcept>
#include <string_view>

namespace brevane {

// What a fault reports when it is no std::exception and so has no what().
inline constexpr std::string_view kUndescribedFault =
    "brevane met an internal fault without a description";

class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace brevane

#define BREVANE_STRINGIFY_(x) #x
#define BREVANE_STRINGIFY(x) BREVANE_STRINGIFY_(x)

// Checked in every build: the cost is a predictable branch, and a silent
// out-of-bounds access would be far worse than a clear fault.
#define BREVANE_CHECK(cond)                                                                     \
  do {                                                                                          \
    if (!(cond)) [[unlikely]] {                                                                 \
      throw ::brevane::InternalFault("internal fault at " __FILE__                              \
                                     ":" BREVANE_STRINGIFY(__LINE__) ": check failed: " #cond); \
    }                                                                                           \
  } while (false)
