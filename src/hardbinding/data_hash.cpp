// The c2pa.hash.data hard binding: algorithm names, the exclusions a document's
// own association calls for, the bytes outside a caller's exclusions, and the
// binding's computation and verification. Nothing here changes the document or
// keeps state between calls; the digests come from sha2.cpp.
#include "hardbinding/data_hash.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "document/extract.h"
#include "hardbinding/sha2.h"

namespace brevane {
namespace {

constexpr std::string_view kSha256 = "sha256";
constexpr std::string_view kSha384 = "sha384";
constexpr std::string_view kSha512 = "sha512";

// The list is judged entry by entry in the caller's order, never sorted or
// merged: an out-of-order list is the caller's mistake, and repairing it would
// hash bytes the signer never meant.
bool exclusions_valid(std::uint64_t size, std::span<const ByteRange> exclusions) noexcept {
  std::uint64_t previous_end = 0;
  for (const ByteRange& entry : exclusions) {
    if (entry.length > std::numeric_limits<std::uint64_t>::max() - entry.start) return false;
    const std::uint64_t end = entry.start + entry.length;
    if (entry.start < previous_end || end > size) return false;
    previous_end = end;
  }
  return true;
}

// Calls `keep` with each run of bytes outside a list that hashed_content accepted,
// in document order, skipping empty runs.
template <class Keep>
void for_each_kept_span(const HashedContent& content, Keep&& keep) {
  const std::string_view html = content.html;
  const std::span<const ByteRange> exclusions = content.exclusions;
  std::uint64_t previous_end = 0;
  for (const ByteRange& entry : exclusions) {
    if (entry.start > previous_end) {
      keep(html.substr(static_cast<std::size_t>(previous_end),
                       static_cast<std::size_t>(entry.start - previous_end)));
    }
    previous_end = entry.start + entry.length;
  }
  if (previous_end < html.size()) keep(html.substr(static_cast<std::size_t>(previous_end)));
}

}  // namespace

std::string_view hash_algorithm_name(HashAlgorithm alg) noexcept {
  switch (alg) {
    case HashAlgorithm::Sha256:
      return kSha256;
    case HashAlgorithm::Sha384:
      return kSha384;
    case HashAlgorithm::Sha512:
      return kSha512;
  }
  return {};
}

Result<HashAlgorithm> parse_hash_algorithm(std::string_view name) {
  // Byte for byte, nothing trimmed or folded: a binding names its algorithm
  // exactly, and an alias accepted here would be one a verifier elsewhere rejects.
  if (name == kSha256) return HashAlgorithm::Sha256;
  if (name == kSha384) return HashAlgorithm::Sha384;
  if (name == kSha512) return HashAlgorithm::Sha512;
  return DocumentError::unsupported_algorithm(name);
}

Result<std::vector<ByteRange>> located_exclusions(std::string_view html) {
  // check_association runs every check of extraction but leaves the store
  // undecoded: the binding needs the element's range, never its payload.
  const Result<AssociationRange> association = check_association(html);
  if (!association.ok()) return association.error();
  // A link element stays inside the hashed bytes: only an inline store is excluded.
  if (association.value().kind == ElementKind::Referenced) return std::vector<ByteRange>{};
  return std::vector<ByteRange>{association.value().range};
}

Result<HashedContent> hashed_content(std::string_view html,
                                     std::span<const ByteRange> exclusions) noexcept {
  if (!exclusions_valid(html.size(), exclusions)) return DocumentError::exclusion_malformed();
  return HashedContent{html, exclusions};
}

std::string digest(HashAlgorithm alg, const HashedContent& content) {
  DigestStream stream(alg);
  for_each_kept_span(content, [&stream](std::string_view span) { stream.update(span); });
  return stream.finish();
}

Result<OwnedDataHashBinding> compute_data_hash(std::string_view html, HashAlgorithm alg) {
  Result<std::vector<ByteRange>> exclusions = located_exclusions(html);
  if (!exclusions.ok()) return exclusions.error();
  const Result<HashedContent> content = hashed_content(html, exclusions.value());
  // The located range comes from the scan of this very document, so it lies
  // inside it; a rejection would be our own scanner's fault, not the input's.
  BREVANE_CHECK(content.ok());
  std::string hash = digest(alg, content.value());
  return OwnedDataHashBinding{alg, std::move(hash), std::move(exclusions).value()};
}

std::optional<DocumentError> verify_data_hash(std::string_view html,
                                              const DataHashBinding& binding) {
  const Result<std::vector<ByteRange>> located = located_exclusions(html);
  if (!located.ok()) return located.error();

  // The element must be excluded by an entry of exactly its range: a wider entry
  // would leave neighbouring bytes unsigned, a narrower one would hash part of a
  // store that cannot exist before signing. A link is hashed whole, so a binding
  // for it must exclude nothing at all.
  if (located.value().empty()) {
    if (!binding.exclusions.empty()) return DocumentError::exclusion_malformed();
  } else {
    const ByteRange& element = located.value().front();
    if (std::find(binding.exclusions.begin(), binding.exclusions.end(), element) ==
        binding.exclusions.end()) {
      return DocumentError::exclusion_malformed();
    }
  }

  // Judged in full before the first byte is hashed, so a bad entry late in the
  // list costs no digest work.
  const Result<HashedContent> content = hashed_content(html, binding.exclusions);
  if (!content.ok()) return content.error();
  // A hash of another length, say a SHA-256 value under "sha512", is simply not
  // this digest: a mismatch rather than a malformed binding.
  if (binding.hash != digest(binding.alg, content.value())) return DocumentError::hash_mismatch();
  return std::nullopt;
}

std::string inline_hash_before_embed(std::string_view html, HashAlgorithm alg) {
  // Embedding adds bytes only inside the element the binding excludes, so the
  // document as it stands now is exactly what the binding will cover.
  return digest(alg, HashedContent{html, {}});
}

}  // namespace brevane
