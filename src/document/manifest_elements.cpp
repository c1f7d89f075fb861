// Location of the manifest elements of the head. It never fails and never judges
// their number; that belongs to extraction, removal and locate_all. Two readings
// of the same rules live here: a streaming one that stops pulling tags once the
// answer is known, and the plain one over a full token list that tests hold the
// streaming one to.
#include "document/manifest_elements.h"

#include <utility>

namespace brevane {
namespace {

bool is_start_tag(const TagToken& token, std::string_view lower_name) noexcept {
  return !token.is_end_tag && std::string_view(token.name) == lower_name;
}

bool ends_head(const TagToken& token) noexcept {
  const std::string_view name = token.name;
  return token.is_end_tag ? (name == "head" || name == "html") : name == "body";
}

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
  if (!is_start_tag(token, "link")) return false;
  const TagAttribute* rel = token.attribute("rel");
  return rel != nullptr && rel_names_manifest(rel->value);
}

bool is_manifest_script(const TagToken& token) noexcept {
  if (!is_start_tag(token, "script")) return false;
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

// A manifest script start tag, remembered until the token after it is known.
struct OpenScript {
  std::uint64_t start = 0;
  std::uint64_t tag_end = 0;
};

// The token after a script start tag is its own end tag whenever one exists,
// because the scanner skips raw-text content up to exactly that tag; without
// it the script runs to the end of the document.
ManifestElement script_element(const OpenScript& script, const TagToken* following,
                               std::uint64_t length) {
  ManifestElement element;
  element.kind = ElementKind::Embedded;
  if (following != nullptr && following->is_end_tag &&
      std::string_view(following->name) == "script") {
    element.range = {script.start, following->end - script.start};
    element.content = {script.tag_end, following->start - script.tag_end};
  } else {
    element.range = {script.start, length - script.start};
    element.content = {script.tag_end, length - script.tag_end};
  }
  return element;
}

// The streaming reading, fed one token at a time. The head begins after the
// first <head> start tag anywhere; failing that, after the first <html>;
// failing that, at 0. Until a <head> is met, the elements and the </head>
// gathered belong to a tentative head that a later anchor replaces, so only the
// answers for one head are ever held.
class HeadWalk {
 public:
  HeadWalk(std::uint64_t length, bool wants_close_tag) noexcept
      : length_(length), wants_close_tag_(wants_close_tag) {}

  // Takes the next token; false once no later token can change the answers.
  bool take(const TagToken& token) {
    if (open_script_) {
      scan_.elements.push_back(script_element(*open_script_, &token, length_));
      open_script_.reset();
    }
    if (anchor_ != Anchor::Head && is_start_tag(token, "head")) {
      restart(Anchor::Head);
      return true;
    }
    if (anchor_ == Anchor::Document && is_start_tag(token, "html")) {
      restart(Anchor::Html);
      return true;
    }
    if (wants_close_tag_ && !scan_.close_tag_start && token.is_end_tag &&
        std::string_view(token.name) == "head") {
      scan_.close_tag_start = token.start;
    }
    if (head_open_) {
      if (ends_head(token)) {
        head_open_ = false;
      } else if (is_manifest_link(token)) {
        scan_.elements.push_back(link_element(token));
      } else if (is_manifest_script(token)) {
        open_script_ = OpenScript{token.start, token.end};
      }
    }
    return anchor_ != Anchor::Head || head_open_ || (wants_close_tag_ && !scan_.close_tag_start);
  }

  // The answers once the tokens have run out or take() said they are final.
  HeadScan finish() && {
    if (open_script_) scan_.elements.push_back(script_element(*open_script_, nullptr, length_));
    return std::move(scan_);
  }

 private:
  enum class Anchor : std::uint8_t { Document, Html, Head };

  void restart(Anchor anchor) noexcept {
    anchor_ = anchor;
    head_open_ = true;
    scan_.elements.clear();
    scan_.close_tag_start.reset();
  }

  std::uint64_t length_;
  bool wants_close_tag_;
  Anchor anchor_ = Anchor::Document;
  bool head_open_ = true;
  std::optional<OpenScript> open_script_;
  HeadScan scan_;
};

HeadScan walk_head(std::string_view html, bool wants_close_tag) {
  HeadWalk walk(html.size(), wants_close_tag);
  HeadScanner scanner(html, ScanMode::Location);
  while (const TagToken* token = scanner.next()) {
    if (!walk.take(*token)) break;
  }
  return std::move(walk).finish();
}

}  // namespace

std::vector<ManifestElement> locate_manifest_elements(std::string_view html) {
  return walk_head(html, false).elements;
}

HeadScan scan_head(std::string_view html) { return walk_head(html, true); }

std::vector<ManifestElement> locate_manifest_elements_in(std::string_view html,
                                                         std::span<const TagToken> tokens,
                                                         const HeadBounds& bounds) {
  std::vector<ManifestElement> elements;
  for (std::size_t k = 0; k < tokens.size(); ++k) {
    const TagToken& token = tokens[k];
    if (token.start < bounds.start || token.end > bounds.end || token.is_end_tag) continue;
    if (is_manifest_link(token)) {
      elements.push_back(link_element(token));
    } else if (is_manifest_script(token)) {
      const TagToken* following = k + 1 < tokens.size() ? &tokens[k + 1] : nullptr;
      elements.push_back(script_element({token.start, token.end}, following, html.size()));
    }
  }
  return elements;
}

}  // namespace brevane
