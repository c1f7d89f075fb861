// The c2pa.hash.data hard binding: a SHA-2 digest over the document's bytes
// outside a list of exclusions, its verification, and its prediction before a
// manifest is embedded. Pure functions of their inputs; the document is read in
// place and never copied to be hashed.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/manifest_elements.h"
#include "document/result.h"
#include "hardbinding/sha2.h"

namespace brevane {

// "sha256", "sha384" or "sha512".
std::string_view hash_algorithm_name(HashAlgorithm alg) noexcept;

// Exactly those six bytes, case-sensitive; anything else is UnsupportedAlgorithm.
Result<HashAlgorithm> parse_hash_algorithm(std::string_view name);

// The bytes of a document outside a list of exclusions that hashed_content has
// checked: views of the caller's document and ranges, valid for the call only.
struct HashedContent {
  std::string_view html;
  std::span<const ByteRange> exclusions;
};

// ExclusionMalformed when an entry's end overflows, starts below the previous
// end, or passes the document; the list is judged in the caller's order.
Result<HashedContent> hashed_content(std::string_view html,
                                     std::span<const ByteRange> exclusions) noexcept;

// The FIPS 180-4 digest (32, 48 or 64 bytes) of the content's bytes in document
// order, read span by span from the caller's buffer.
std::string digest(HashAlgorithm alg, const HashedContent& content);

// A binding as verification receives it: the caller's hash and exclusions,
// viewed for the call, and the algorithm already parsed.
struct DataHashBinding {
  HashAlgorithm alg = HashAlgorithm::Sha256;
  std::string_view hash;
  std::span<const ByteRange> exclusions;
};

// A binding as compute_data_hash makes it: it owns its hash and exclusions.
struct OwnedDataHashBinding {
  HashAlgorithm alg = HashAlgorithm::Sha256;
  std::string hash;
  std::vector<ByteRange> exclusions;

  [[nodiscard]] DataHashBinding view() const noexcept { return {alg, hash, exclusions}; }
  bool operator==(const OwnedDataHashBinding&) const = default;
};

// One range for an inline association, none for a link; the extraction errors.
Result<std::vector<ByteRange>> located_exclusions(std::string_view html);

Result<OwnedDataHashBinding> compute_data_hash(std::string_view html, HashAlgorithm alg);

// Checks in order: association, coverage of the element's exact range, exclusion
// validity, hash. Nothing on success.
std::optional<DocumentError> verify_data_hash(std::string_view html,
                                              const DataHashBinding& binding);

// The digest of the whole document: the hash an inline binding will have once a
// store is embedded into it. Reads no markup.
std::string inline_hash_before_embed(std::string_view html, HashAlgorithm alg);

}  // namespace brevane
