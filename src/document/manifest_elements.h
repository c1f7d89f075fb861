// Location of the manifest elements of a document's head: inline script elements
// of type "application/c2pa" and link elements whose rel names "c2pa-manifest".
// Location never fails and never judges how many elements there are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brevane/association.hpp"
#include "brevane/byte_range.hpp"
#include "scan/head_scanner.h"

namespace brevane {

// What location looks for, embedding writes and the module publishes as
// SCRIPT_TYPE and LINK_REL (views of literals, so data() ends in a NUL).
inline constexpr std::string_view kScriptType = "application/c2pa";
inline constexpr std::string_view kLinkRel = "c2pa-manifest";

struct ManifestElement {
  ElementKind kind = ElementKind::Embedded;
  ByteRange range;                  // the whole element, never empty
  ByteRange content;                // Embedded: between start and end tag (may be empty)
  std::optional<std::string> href;  // Referenced: the href as text, absent without one

  bool operator==(const ManifestElement&) const = default;
};

// The manifest elements of the head, in document order, from one pass of
// find_head_bounds, which pulls tags only until the head's bounds are final (on an
// ordinary page, up to </head>), so memory does not grow with the tags of the body.
// Embedding asks for the bounds of the same pass through `head`.
std::vector<ManifestElement> locate_manifest_elements(std::string_view html,
                                                      HeadBounds* head = nullptr);

}  // namespace brevane
