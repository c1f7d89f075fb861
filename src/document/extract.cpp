// Extraction: the one manifest element of the head and its payload. The count is
// judged before any payload, so a page with two elements is always reported as
// having two, whatever they hold; the store is decoded strictly and only after
// surrounding whitespace is trimmed, because pages indent their markup.
#include "document/extract.h"

#include <optional>
#include <utility>
#include <vector>

#include "check.h"
#include "document/base64.h"
#include "scan/head_scanner.h"

namespace brevane {
namespace {

// The element's payload bytes; location never hands out a range beyond the document.
std::string_view bytes_of(std::string_view html, ByteRange range) {
  BREVANE_CHECK(range.start <= html.size() && range.length <= html.size() - range.start);
  return html.substr(range.start, range.length);
}

// NoManifest or MultipleManifests, before anything about the element is looked at.
Result<ManifestElement> single_element(std::string_view html) {
  std::vector<ManifestElement> elements = locate_manifest_elements(html);
  if (elements.empty()) return DocumentError::no_manifest();
  if (elements.size() > 1) return DocumentError::multiple_manifests();
  return std::move(elements.front());
}

// The script's content as the decoder sees it: indentation and line breaks around
// the Base64 text are markup, not data.
std::string_view trimmed_content(std::string_view html, const ManifestElement& element) {
  return trim_ascii_whitespace(bytes_of(html, element.content));
}

// An absent href and an empty one both leave nothing to resolve.
bool has_href(const ManifestElement& element) noexcept {
  return element.href.has_value() && !element.href->empty();
}

}  // namespace

Result<ManifestAssociation> extract_association(std::string_view html) {
  Result<ManifestElement> single = single_element(html);
  if (!single.ok()) return single.error();
  ManifestElement& element = single.value();

  ManifestAssociation association;
  association.kind = element.kind;
  association.start = element.range.start;
  association.length = element.range.length;
  if (element.kind == ElementKind::Embedded) {
    std::optional<std::string> store = base64_decode(trimmed_content(html, element));
    if (!store) return DocumentError::malformed(MalformedCause::ScriptNotBase64);
    association.store = std::move(*store);
  } else {
    if (!has_href(element)) return DocumentError::malformed(MalformedCause::LinkWithoutHref);
    association.href = std::move(*element.href);
  }
  return association;
}

Result<AssociationRange> check_association(std::string_view html) {
  const Result<ManifestElement> single = single_element(html);
  if (!single.ok()) return single.error();
  const ManifestElement& element = single.value();

  if (element.kind == ElementKind::Embedded) {
    if (!base64_valid(trimmed_content(html, element))) {
      return DocumentError::malformed(MalformedCause::ScriptNotBase64);
    }
  } else if (!has_href(element)) {
    return DocumentError::malformed(MalformedCause::LinkWithoutHref);
  }
  return AssociationRange{element.kind, element.range};
}

}  // namespace brevane
