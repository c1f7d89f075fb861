// Location of the manifest elements of the head. It never fails and never judges
// their number; that belongs to extraction, removal and locate_all. The head is
// the one that find_head_bounds decides; tests/support/reference.cpp reads the
// same conditions over a whole token list, and the tests hold this to it.
#include "document/manifest_elements.h"

#include "check.h"

namespace brevane {
namespace {

// rel is a set of space-separated words; one of them must be the manifest word.
bool rel_names_manifest(std::string_view rel) noexcept {
  std::size_t k = 0;
  while (k < rel.size()) {
    while (k < rel.size() && is_ascii_whitespace(static_cast<unsigned char>(rel[k]))) ++k;
    const std::size_t word = k;
    while (k < rel.size() && !is_ascii_whitespace(static_cast<unsigned char>(rel[k]))) ++k;
    if (equals_ascii_lower(rel.substr(word, k - word), kLinkRel)) return true;
  }
  return false;
}

bool is_manifest_link(const TagToken& token) noexcept {
  if (token.is_end_tag || token.name != "link") return false;
  const TagAttribute* rel = token.attribute("rel");
  return rel != nullptr && rel_names_manifest(rel->value);
}

bool is_manifest_script(const TagToken& token) noexcept {
  if (token.is_end_tag || token.name != "script") return false;
  const TagAttribute* type = token.attribute("type");
  return type != nullptr && equals_ascii_lower(trim_ascii_whitespace(type->value), kScriptType);
}

// The link's own tag is the whole element: a "</link>" after it is not part of it.
ManifestElement link_element(const TagToken& link) {
  ManifestElement element;
  element.kind = ElementKind::Referenced;
  element.range = {link.start, link.end - link.start};
  if (const TagAttribute* href = link.attribute("href")) {
    element.href = utf8_with_replacement(href->value);
  }
  return element;
}

}  // namespace

std::vector<ManifestElement> locate_manifest_elements(std::string_view html, HeadBounds* head) {
  std::vector<ManifestElement> elements;
  // Elements of a tentative head that a <head> or <html> start tag replaced lie
  // before the head's new start.
  const auto drop_before = [&elements](std::uint64_t head_start) {
    if (!elements.empty() && elements.front().range.start < head_start) elements.clear();
  };
  bool script_open = false;
  const HeadBounds bounds =
      find_head_bounds(html, [&](const TagToken& token, std::uint64_t head_start) {
        drop_before(head_start);
        if (script_open) {
          // The scanner skips a script's raw text up to exactly its end tag, so
          // the tag after a script start tag is that end tag.
          BREVANE_CHECK(token.is_end_tag && token.name == "script");
          ManifestElement& script = elements.back();
          script.range.length = token.end - script.range.start;
          script.content.length = token.start - script.content.start;
          script_open = false;
        } else if (is_manifest_link(token)) {
          elements.push_back(link_element(token));
        } else if (is_manifest_script(token)) {
          // Until its end tag shows, the script runs to the end of the document.
          elements.push_back({ElementKind::Embedded,
                              {token.start, html.size() - token.start},
                              {token.end, html.size() - token.end},
                              std::nullopt});
          script_open = true;
        }
      });
  drop_before(bounds.start);
  if (head != nullptr) *head = bounds;
  return elements;
}

}  // namespace brevane
