// The C++ API (include/brevane/*.hpp): each function runs one core operation
// inside api::guarded and hands back owning values. Edits are written once,
// into the string that is returned.
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "api/boundary.h"
#include "brevane/brevane.hpp"
#include "document/byte_sink.h"
#include "document/embed.h"
#include "document/extract.h"
#include "document/manifest_elements.h"
#include "document/remove.h"
#include "hardbinding/data_hash.h"
#include "scan/head_scanner.h"

namespace brevane {

std::string_view version() noexcept { return BREVANE_VERSION; }

Expected<std::vector<ByteRange>> locate_all(std::string_view html) noexcept {
  return api::guarded([&]() -> Expected<std::vector<ByteRange>> {
    const std::vector<ManifestElement> elements = locate_manifest_elements(html);
    std::vector<ByteRange> ranges;
    ranges.reserve(elements.size());
    for (const ManifestElement& element : elements) ranges.push_back(element.range);
    return ranges;
  });
}

Expected<std::optional<ManifestAssociation>> extract(std::string_view html) noexcept {
  return api::guarded([&]() -> Expected<std::optional<ManifestAssociation>> {
    Result<ManifestAssociation> association = extract_association(html);
    if (association.ok()) return std::optional(std::move(association).value());
    // A page without a manifest is an answer, not an error, as in the module.
    if (association.error().kind() == DocumentErrorKind::NoManifest) {
      return std::optional<ManifestAssociation>();
    }
    return api::to_error(association.error());
  });
}

Expected<std::string> remove(std::string_view html) noexcept {
  return api::guarded([&]() -> Expected<std::string> {
    StringSink sink;
    remove_into(html, sink);
    return std::move(sink.bytes);
  });
}

Expected<std::string> embed(std::string_view html, std::string_view store) noexcept {
  return api::guarded([&]() -> Expected<std::string> {
    StringSink sink;
    if (const auto error = embed_into(html, store, sink)) return api::to_error(*error);
    return std::move(sink.bytes);
  });
}

Expected<std::string> embed_reference(std::string_view html, std::string_view href) noexcept {
  return api::guarded([&]() -> Expected<std::string> {
    if (!is_utf8(href)) return api::invalid_argument("href", "not valid UTF-8");
    StringSink sink;
    if (const auto error = embed_reference_into(html, href, sink)) return api::to_error(*error);
    return std::move(sink.bytes);
  });
}

Expected<DataHash> compute_data_hash(std::string_view html, std::string_view alg) noexcept {
  return api::guarded([&]() -> Expected<DataHash> {
    const Result<HashAlgorithm> parsed = parse_hash_algorithm(alg);
    if (!parsed.ok()) return api::to_error(parsed.error());
    Result<OwnedDataHashBinding> binding = compute_data_hash(html, parsed.value());
    if (!binding.ok()) return api::to_error(binding.error());
    OwnedDataHashBinding& value = binding.value();
    return DataHash{hash_algorithm_name(value.alg), std::move(value.hash),
                    std::move(value.exclusions)};
  });
}

std::optional<Error> verify_data_hash(std::string_view html, std::string_view hash,
                                      std::span<const ByteRange> exclusions,
                                      std::string_view alg) noexcept {
  return api::guarded([&]() -> std::optional<Error> {
    const Result<HashAlgorithm> parsed = parse_hash_algorithm(alg);
    if (!parsed.ok()) return api::to_error(parsed.error());
    if (const auto error =
            verify_data_hash(html, DataHashBinding{parsed.value(), hash, exclusions})) {
      return api::to_error(*error);
    }
    return std::nullopt;
  });
}

Expected<std::string> inline_hash_before_embed(std::string_view html,
                                               std::string_view alg) noexcept {
  return api::guarded([&]() -> Expected<std::string> {
    const Result<HashAlgorithm> parsed = parse_hash_algorithm(alg);
    if (!parsed.ok()) return api::to_error(parsed.error());
    return inline_hash_before_embed(html, parsed.value());
  });
}

}  // namespace brevane
