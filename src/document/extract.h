// Extraction: the one manifest element of the head, with its kind, range and
// payload (the Base64-decoded store or the href). Never changes the document,
// never fetches the href, never looks inside the store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "brevane/association.hpp"
#include "document/manifest_elements.h"
#include "document/result.h"

namespace brevane {

// NoManifest, MultipleManifests (judged before any payload) or Malformed.
Result<ManifestAssociation> extract_association(std::string_view html);

// The same checks as extract_association, in the same order, with the same errors, but the
// store is only validated, never decoded: the kind and range of the association.
struct AssociationRange {
  ElementKind kind = ElementKind::Embedded;
  ByteRange range;

  bool operator==(const AssociationRange&) const = default;
};
Result<AssociationRange> check_association(std::string_view html);

}  // namespace brevane
