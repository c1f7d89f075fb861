// ManifestAssociation: how a document carries its manifest, as extract() reads
// it. An owning value; it never refers back to the document it came from.
#pragma once

#include <cstdint>
#include <string>

namespace brevane {

// An inline <script type="application/c2pa"> or a <link rel="c2pa-manifest">.
enum class ElementKind : std::uint8_t { Embedded, Referenced };

// The one manifest element of the head:
//   <head><script type="application/c2pa">QUJD</script></head>
//         ^ start                                    ^ start + length
struct ManifestAssociation {
  ElementKind kind = ElementKind::Embedded;
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::string store;  // Embedded: the Base64-decoded Manifest Store, maybe empty
  std::string href;   // Referenced: the href as UTF-8 text, never empty

  bool operator==(const ManifestAssociation&) const = default;
};

}  // namespace brevane
