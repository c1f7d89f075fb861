// The document operations: where the manifest elements of a page's head lie,
// the one association they make, and the edits that remove them or embed a new
// one. Every function reads the caller's bytes in place, for the call only, and
// returns owning values; none changes its input or keeps state between calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brevane/association.hpp"
#include "brevane/byte_range.hpp"
#include "brevane/expected.hpp"
#include "brevane/export.h"

namespace brevane {

// The ranges of every manifest element of the head, in document order. More
// than one means the page is rejected by extract(); a caller may report how many.
BREVANE_API Expected<std::vector<ByteRange>> locate_all(std::string_view html) noexcept;

// The page's association, or an empty optional when the head has no manifest
// element (an answer, not an error). MultipleManifests is judged before any
// payload, then Malformed (Base64 that is not strict, a link without an href).
BREVANE_API Expected<std::optional<ManifestAssociation>> extract(std::string_view html) noexcept;

// The page without any manifest element of its head; every other byte kept in
// order. Fails only for want of memory.
BREVANE_API Expected<std::string> remove(std::string_view html) noexcept;

// The cleaned page with <script type="application/c2pa">BASE64(store)</script>
// spliced in just before </head>. NoHead when the cleaned page has no </head>.
BREVANE_API Expected<std::string> embed(std::string_view html, std::string_view store) noexcept;

// The same with <link rel="c2pa-manifest" href="HREF" type="application/c2pa">;
// `"`, `&` and `<` of the href are written as entities. The href must be UTF-8
// (InvalidArgument otherwise), as the Python module's str is.
BREVANE_API Expected<std::string> embed_reference(std::string_view html,
                                                  std::string_view href) noexcept;

}  // namespace brevane
