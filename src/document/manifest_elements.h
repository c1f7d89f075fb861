// Location of the manifest elements of a document's head: inline script elements
// of type "application/c2pa" and link elements whose rel names "c2pa-manifest".
// Location never fails and never judges how many elements there are.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scan/head_scanner.h"

namespace brevane {

inline constexpr std::string_view kScriptType = "application/c2pa";
inline constexpr std::string_view kLinkRel = "c2pa-manifest";

// `start` up to, not including, `start + length`.
struct ByteRange {
  std::uint64_t start = 0;
  std::uint64_t length = 0;

  bool operator==(const ByteRange&) const = default;
};

enum class ElementKind : std::uint8_t { Embedded, Referenced };

struct ManifestElement {
  ElementKind kind = ElementKind::Embedded;
  ByteRange range;                  // the whole element, never empty
  ByteRange content;                // Embedded: between start and end tag (may be empty)
  std::optional<std::string> href;  // Referenced: the href as text, absent without one

  bool operator==(const ManifestElement&) const = default;
};

// The manifest elements of the head, in document order. Pulls tokens only until the
// head's end is known (on an ordinary page, up to </head>), so memory does not grow
// with the tags of the body.
std::vector<ManifestElement> locate_manifest_elements(std::string_view html);

// What embedding needs of a document, from one pass: the head's manifest elements
// (as locate_manifest_elements) and where its </head> begins (as
// find_head_close_tag).
struct HeadScan {
  std::vector<ManifestElement> elements;
  std::optional<std::uint64_t> close_tag_start;

  bool operator==(const HeadScan&) const = default;
};

// Pulls tokens until both answers are known: on an ordinary page, up to </head>.
HeadScan scan_head(std::string_view html);

// The same elements from a full token list and its head bounds: the plain reading
// of the rules, kept for tests that hold the streaming path to it.
std::vector<ManifestElement> locate_manifest_elements_in(std::string_view html,
                                                         std::span<const TagToken> tokens,
                                                         const HeadBounds& bounds);

}  // namespace brevane
