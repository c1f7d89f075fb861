// Removal: the document less every located manifest element's range. It judges
// neither the number nor the content of the elements, so it never fails, and it
// leaves the whitespace around a cut exactly as it stood.
#include "document/remove.h"

#include "document/manifest_elements.h"
#include "document/removal_cut.h"

namespace brevane {

void remove_into(std::string_view html, ByteSink& sink) {
  const std::vector<ManifestElement> elements = locate_manifest_elements(html);
  // A document without elements is asked for once at its own length and copied
  // whole: the host always receives a new object, never the one it passed.
  char* const out = sink.allocate(kept_length(html, elements));
  write_kept(html, elements, out);
}

}  // namespace brevane
