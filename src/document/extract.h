// Extraction: the one manifest element of the head, with its kind, range and
// payload (the Base64-decoded store or the href). Never changes the document,
// never fetches the href, never looks inside the store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "document/manifest_elements.h"
#include "document/result.h"

namespace brevane {

struct ManifestAssociation {
  ElementKind kind = ElementKind::Embedded;
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::string store;  // Embedded: the decoded store, maybe empty
  std::string href;   // Referenced: never empty

  bool operator==(const ManifestAssociation&) const = default;
};

// NoManifest, MultipleManifests (judged before any payload) or Malformed.
Result<ManifestAssociation> extract(std::string_view html);

// The same checks as extract, in the same order, with the same errors, but the
// store is only validated, never decoded: the kind and range of the association.
struct AssociationRange {
  ElementKind kind = ElementKind::Embedded;
  ByteRange range;

  bool operator==(const AssociationRange&) const = default;
};
Result<AssociationRange> check_association(std::string_view html);

}  // namespace brevane
