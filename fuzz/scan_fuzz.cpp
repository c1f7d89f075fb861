// Holds the scanner, the head bounds and element location to their invariants on
// arbitrary bytes, the attributes scan_tags keeps to the full ones filtered, and
// the streaming find_head_bounds and locate_manifest_elements to the whole-list
// readings of tests/support. Any violation aborts, so libFuzzer keeps the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "document/manifest_elements.h"
#include "scan/head_scanner.h"
#include "support/reference.h"

namespace {

using brevane::ElementKind;
using brevane::HeadBounds;
using brevane::ManifestElement;
using brevane::TagToken;

void require(bool condition) {
  if (!condition) std::abort();
}

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' ||
         c == '_';
}

bool views_inside(std::string_view view, std::string_view html) {
  if (view.empty()) return true;
  return view.data() >= html.data() && view.data() + view.size() <= html.data() + html.size();
}

void check_token(const TagToken& token, std::string_view html) {
  require(token.start < token.end && token.end <= html.size());
  require(!token.name.empty() && token.name[0] >= 'a' && token.name[0] <= 'z');
  for (const char c : token.name) require(is_name_char(c));
  for (std::size_t k = 0; k < token.attributes.size(); ++k) {
    const auto& attr = token.attributes[k];
    require(!attr.name.empty());
    require(views_inside(attr.name, html) && views_inside(attr.value, html));
    // Unique case-insensitively; quadratic here, which a fuzz input can afford.
    for (std::size_t j = 0; j < k; ++j) {
      const std::string_view other = token.attributes[j].name;
      bool same = other.size() == attr.name.size();
      for (std::size_t b = 0; same && b < other.size(); ++b) {
        same = brevane::ascii_lower(static_cast<unsigned char>(other[b])) ==
               brevane::ascii_lower(static_cast<unsigned char>(attr.name[b]));
      }
      require(!same);
    }
  }
}

// scan_tags must read every byte as the full reading does: same tokens, same
// offsets, the kept attributes equal to the full ones filtered, and it must stop
// as soon as it is told to.
void check_kept_attributes(std::string_view html, const std::vector<TagToken>& full) {
  const std::vector<TagToken> expected = brevane::support::location_subset(full);
  std::size_t k = 0;
  brevane::scan_tags(html, [&](const TagToken& token) {
    require(k < expected.size() && token == expected[k]);
    ++k;
    return k != 3;
  });
  require(k == std::min<std::size_t>(expected.size(), 3));
  k = 0;
  brevane::scan_tags(html, [&](const TagToken& token) {
    require(k < expected.size() && token == expected[k]);
    ++k;
    return true;
  });
  require(k == expected.size());
}

void check_elements(const std::vector<ManifestElement>& elements, const HeadBounds& bounds) {
  std::uint64_t previous_end = 0;
  for (const ManifestElement& e : elements) {
    require(e.range.length > 0);
    require(e.range.start >= previous_end);
    require(e.range.start >= bounds.start && e.range.start + e.range.length <= bounds.end);
    if (e.kind == ElementKind::Embedded) {
      require(!e.href);
      require(e.content.start > e.range.start);
      require(e.content.start + e.content.length <= e.range.start + e.range.length);
    }
    previous_end = e.range.start + e.range.length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view html =
      size == 0 ? std::string_view() : std::string_view(reinterpret_cast<const char*>(data), size);
  const std::vector<TagToken> tokens = brevane::support::full_tokens(html);
  std::uint64_t previous_end = 0;
  for (const TagToken& token : tokens) {
    require(token.start >= previous_end);
    check_token(token, html);
    previous_end = token.end;
  }

  check_kept_attributes(html, tokens);

  const HeadBounds bounds = brevane::support::head_bounds_of(size, tokens);
  require(bounds.start <= bounds.end && bounds.end <= size);
  if (bounds.close_tag_start) require(*bounds.close_tag_start >= bounds.start);
  require(brevane::find_head_bounds(html) == bounds);

  const std::vector<ManifestElement> full = brevane::support::elements_of(html, tokens, bounds);
  HeadBounds streamed;
  require(brevane::locate_manifest_elements(html, &streamed) == full);
  require(streamed == bounds);
  check_elements(full, bounds);
  return 0;
}
