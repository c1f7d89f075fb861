// Error: why a call of the public API failed. The kinds and the message texts
// are those of the Python module (its ValueError, MemoryError and
// PanicException), byte for byte, so that a host can log, match or compare
// them across languages. A plain value: copying one never touches the library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace brevane {

// The numbers are the C ABI's brevane_code values (brevane.h), and stay.
enum class ErrorKind : std::uint8_t {
  NoManifest = 1,            // the head has no manifest element
  MultipleManifests = 2,     // the head has more than one
  Malformed = 3,             // the one element cannot be read (bad Base64, no href)
  NoHead = 4,                // nowhere to embed: no </head> in the cleaned document
  ExclusionMalformed = 5,    // exclusions out of order, out of the document, or not the element's
  HashMismatch = 6,          // the bytes outside the exclusions do not have that digest
  UnsupportedAlgorithm = 7,  // `alg` is not exactly "sha256", "sha384" or "sha512"
  InvalidArgument = 8,       // an argument no Python caller could pass (an href not UTF-8)
  OutOfMemory = 9,           // an allocation failed; nothing was changed or leaked
  InternalFault = 10,        // a broken invariant of brevane itself, never of the input
};

class Error {
 public:
  Error(ErrorKind kind, std::string message, std::string_view status_code = {}) noexcept
      : kind_(kind), message_(std::move(message)), status_code_(status_code) {}

  [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
  // The text the Python module raises, UTF-8: "data hash does not match the
  // document content [assertion.dataHash.mismatch]".
  [[nodiscard]] const std::string& message() const noexcept { return message_; }
  // The C2PA validation status code in the message's brackets, or empty for the
  // kinds that have none ("assertion.dataHash.mismatch"). Static storage.
  [[nodiscard]] std::string_view status_code() const noexcept { return status_code_; }

  bool operator==(const Error&) const = default;

 private:
  ErrorKind kind_;
  std::string message_;
  std::string_view status_code_;
};

}  // namespace brevane
