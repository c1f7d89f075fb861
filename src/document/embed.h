// Embedding: removes every manifest element, then splices one new element in
// directly before the head's end tag. Every other byte keeps its value and order.
//
//   <script type="application/c2pa">BASE64</script>        41 bytes + Base64
//   <link rel="c2pa-manifest" href="HREF" type="application/c2pa">  58 bytes + href
#pragma once

#include <optional>
#include <string_view>

#include "document/byte_sink.h"
#include "document/document_error.h"

namespace brevane {

// NoHead when the cleaned document has no </head> at or after the head's start;
// then the sink may have been asked for storage, and its bytes mean nothing. The
// href is written with `"`, `&` and `<` as `&quot;`, `&amp;` and `&lt;`, every
// other byte unchanged.
std::optional<DocumentError> embed_into(std::string_view html, std::string_view store,
                                        ByteSink& sink);
std::optional<DocumentError> embed_reference_into(std::string_view html, std::string_view href,
                                                  ByteSink& sink);

}  // namespace brevane
