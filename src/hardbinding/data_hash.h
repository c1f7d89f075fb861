// The c2pa.hash.data hard binding: a SHA-2 digest over the document's bytes
// outside a list of exclusions, its verification, and its prediction before a
// manifest is embedded. Pure functions of their inputs; the document is read in
// place and never copied to be hashed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/manifest_elements.h"
#include "document/result.h"

namespace brevane {

enum class HashAlgorithm : std::uint8_t { Sha256, Sha384, Sha512 };

// "sha256", "sha384" or "sha512".
std::string_view hash_algorithm_name(HashAlgorithm alg) noexcept;

// Exactly those six bytes, case-sensitive; anything else is UnsupportedAlgorithm.
Result<HashAlgorithm> parse_hash_algorithm(std::string_view name);

// The FIPS 180-4 digest of `bytes` (32, 48 or 64 bytes).
std::string digest(HashAlgorithm alg, std::string_view bytes);

struct DataHashBinding {
  std::string alg;
  std::string hash;
  std::vector<ByteRange> exclusions;

  bool operator==(const DataHashBinding&) const = default;
};

// One range for an inline association, none for a link; the extraction errors.
Result<std::vector<ByteRange>> located_exclusions(std::string_view html);

// The bytes outside the exclusions, in document order; ExclusionMalformed when an
// entry's end overflows, starts below the previous end, or passes the document.
Result<std::string> hashed_content(std::string_view html, std::span<const ByteRange> exclusions);

Result<DataHashBinding> compute_data_hash(std::string_view html, HashAlgorithm alg);

// Checks in order: alg, association, coverage of the element's exact range,
// exclusion validity, hash. Nothing on success.
std::optional<DocumentError> verify_data_hash(std::string_view html,
                                              const DataHashBinding& binding);

// The digest of the whole document: the hash an inline binding will have once a
// store is embedded into it. Reads no markup.
std::string inline_hash_before_embed(std::string_view html, HashAlgorithm alg);

}  // namespace brevane
