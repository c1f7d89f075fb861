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

// The details a Malformed error may carry; the error refers to them and owns nothing.
inline constexpr std::string_view kBase64Detail = "script content is not valid Base64";
inline constexpr std::string_view kNoHrefDetail = "link has no href to resolve";

class DocumentError {
 public:
  static DocumentError no_manifest() noexcept {
    return DocumentError(DocumentErrorKind::NoManifest);
  }
  static DocumentError multiple_manifests() noexcept {
    return DocumentError(DocumentErrorKind::MultipleManifests);
  }
  // `detail` must be one of the constant texts above (it is referred to, not copied).
  static DocumentError malformed(std::string_view detail) noexcept {
    DocumentError e(DocumentErrorKind::Malformed);
    e.detail_ = detail;
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
  std::string_view detail_;
  std::string name_;
};

}  // namespace brevane
