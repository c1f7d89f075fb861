// DocumentError: the one error type of the scanning, document and hard-binding
// layers. It is a small value (a kind and, for two kinds, a payload); the
// message is produced on demand and never stored. Nothing here raises or prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brevane {

enum class DocumentErrorKind : std::uint8_t {
  NoManifest,
  MultipleManifests,
  Malformed,
  NoHead,
  ExclusionMalformed,
  HashMismatch,
  UnsupportedAlgorithm,
};

// Why a manifest element is Malformed; each names the detail its message ends with.
enum class MalformedCause : std::uint8_t {
  ScriptNotBase64,  // the script's content, trimmed, is no strict Base64
  LinkWithoutHref,  // the link has no href attribute, or an empty one
};

class DocumentError {
 public:
  static DocumentError no_manifest() noexcept {
    return DocumentError(DocumentErrorKind::NoManifest);
  }
  static DocumentError multiple_manifests() noexcept {
    return DocumentError(DocumentErrorKind::MultipleManifests);
  }
  static DocumentError malformed(MalformedCause cause) noexcept {
    DocumentError e(DocumentErrorKind::Malformed);
    e.cause_ = cause;
    return e;
  }
  static DocumentError no_head() noexcept { return DocumentError(DocumentErrorKind::NoHead); }
  static DocumentError exclusion_malformed() noexcept {
    return DocumentError(DocumentErrorKind::ExclusionMalformed);
  }
  static DocumentError hash_mismatch() noexcept {
    return DocumentError(DocumentErrorKind::HashMismatch);
  }
  // Keeps an unchanged copy of the rejected name: not trimmed, not folded, maybe empty.
  static DocumentError unsupported_algorithm(std::string_view name) {
    DocumentError e(DocumentErrorKind::UnsupportedAlgorithm);
    e.name_.assign(name);
    return e;
  }

  [[nodiscard]] DocumentErrorKind kind() const noexcept { return kind_; }
  // The message text, UTF-8; lower-case first letter, no full stop.
  [[nodiscard]] std::string message() const;
  // The C2PA validation status code for the four kinds that have one.
  [[nodiscard]] std::optional<std::string_view> status_code() const noexcept;
  // The message, then " [code]" when the kind has a status code: what the host sees.
  [[nodiscard]] std::string host_message() const;

  bool operator==(const DocumentError&) const = default;

 private:
  explicit DocumentError(DocumentErrorKind kind) noexcept : kind_(kind) {}

  DocumentErrorKind kind_;
  MalformedCause cause_ = MalformedCause::ScriptNotBase64;  // meaningful for Malformed only
  std::string name_;
};

}  // namespace brevane
