// The c2pa.hash.data hard binding: its computation over a page that carries a
// manifest, its verification, and its prediction before the manifest exists.
// Algorithms are named as in a manifest: exactly "sha256", "sha384", "sha512".
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "brevane/byte_range.hpp"
#include "brevane/error.hpp"
#include "brevane/expected.hpp"
#include "brevane/export.h"

namespace brevane {

inline constexpr std::string_view kDefaultHashAlgorithm = "sha256";

// A binding as compute_data_hash makes it. `alg` views static storage.
struct DataHash {
  std::string_view alg;
  std::string hash;                   // 32, 48 or 64 bytes
  std::vector<ByteRange> exclusions;  // the inline element's range, or none for a link

  bool operator==(const DataHash&) const = default;
};

// The association's errors (NoManifest, MultipleManifests, Malformed), and
// UnsupportedAlgorithm before the page is looked at.
BREVANE_API Expected<DataHash> compute_data_hash(
    std::string_view html, std::string_view alg = kDefaultHashAlgorithm) noexcept;

// Nothing when the binding holds. Checks in order: the algorithm's name, the
// association, that an exclusion is exactly the inline element's range (and that
// a link's binding excludes nothing), the exclusions' order and bounds
// (ExclusionMalformed), then the digest (HashMismatch).
BREVANE_API std::optional<Error> verify_data_hash(
    std::string_view html, std::string_view hash, std::span<const ByteRange> exclusions,
    std::string_view alg = kDefaultHashAlgorithm) noexcept;

// The digest of the whole page: the hash an inline binding will have once a
// store is embedded into it, so a page can be hashed, then signed, then embedded.
BREVANE_API Expected<std::string> inline_hash_before_embed(
    std::string_view html, std::string_view alg = kDefaultHashAlgorithm) noexcept;

}  // namespace brevane
