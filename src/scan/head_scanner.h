// The byte-level tag scanner and the head bounds: the module's only reader of
// HTML markup. One forgiving forward pass, no tree, no validation, never fails,
// never changes the document. Comments, declarations, processing instructions and
// the contents of script, style, title and textarea are passed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevane {

// TAB, LF, FF, CR and SPACE; VT, NUL and non-ASCII spaces are not whitespace.
constexpr bool is_ascii_whitespace(unsigned char c) noexcept {
  return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}

// Only "A" to "Z" fold.
constexpr unsigned char ascii_lower(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c;
}

// True when `bytes` equals `lower` (already lower case) under ASCII case folding.
bool equals_ascii_lower(std::string_view bytes, std::string_view lower) noexcept;

// The sub-view without leading and trailing ASCII whitespace.
std::string_view trim_ascii_whitespace(std::string_view bytes) noexcept;

// UTF-8 text from bytes: each ill-formed subsequence (maximal subpart) becomes U+FFFD.
std::string utf8_with_replacement(std::string_view bytes);

// True when `bytes` is well-formed UTF-8 (no surrogates, nothing above U+10FFFF):
// exactly the texts utf8_with_replacement leaves unchanged.
bool is_utf8(std::string_view bytes) noexcept;

// One attribute of a tag. Both views point into the scanned document: the name as
// written (compare it with equals_ascii_lower), the value's raw bytes (turn them
// into text with utf8_with_replacement only where one is handed out).
struct TagAttribute {
  std::string_view name;
  std::string_view value;  // empty when written without "=" or with an empty value

  bool operator==(const TagAttribute&) const = default;
};

// One tag, in byte offsets of the scanned document:
//   <link rel=x href=/m>
//   ^ start             ^ end (just past ">", or the document length if still open)
// Every byte of the tag is read, but only the attributes that manifest location
// consults are kept (manifest_elements.cpp: is_manifest_link, is_manifest_script):
// the first rel and href of a link start tag and the first type of a script start
// tag, in source order. A tag with a million attributes costs its bytes and no more.
struct TagToken {
  std::string name;                      // lower-cased; first byte a letter
  std::vector<TagAttribute> attributes;  // the kept ones, first occurrence of each name
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool is_end_tag = false;

  // The kept attribute whose lower-cased name is `lower_name`, or nullptr.
  [[nodiscard]] const TagAttribute* attribute(std::string_view lower_name) const noexcept;

  bool operator==(const TagToken&) const = default;
};

// Where the head lies, in byte offsets of the scanned document:
//   <html><head><title>x</title></head><body>
//               ^ start = 12    ^ end = close_tag_start = 28
struct HeadBounds {
  std::uint64_t start = 0;
  std::uint64_t end = 0;                         // exclusive, never below start
  std::optional<std::uint64_t> close_tag_start;  // the "<" of </head>, if any

  bool operator==(const HeadBounds&) const = default;
};

// One turn of a tag's attribute loop, from `p` just after the tag name or the
// previous attribute: the next attribute and where the loop goes on, or, once
// the tag ends, an attribute with an empty name and `next` at the tag's end.
// Duplicate names are the caller's business; the scanner keeps the first.
struct AttributeStep {
  TagAttribute attribute;
  std::uint64_t next = 0;
};
AttributeStep read_attribute(std::string_view html, std::uint64_t p) noexcept;

// Called with each tag in document order; returns false to stop the scan. The
// token views the document and lives only for the call.
using TagVisitor = std::function<bool(const TagToken&)>;

// The tokenizer: one forward pass that stops as soon as `visit` says so.
void scan_tags(std::string_view html, const TagVisitor& visit);

// Called with each tag from the head's start up to, not including, the tag that
// ends it, and with the head's start as it stands so far. Until a <head> start
// tag is met the head is tentative (after the first <html>, else at 0): a later
// anchor moves `head_start` on, and what was seen before it is outside the head.
using HeadVisitor = std::function<void(const TagToken&, std::uint64_t head_start)>;

// The one head rule: the head begins after the first <head> start tag, else after
// the first <html>, else at 0; it ends at the first </head>, </html> or <body> from
// there, else at the document's end; close_tag_start is the first </head> from its
// start. Pulls tags only until the answer is final: on an ordinary page, up to
// </head>.
HeadBounds find_head_bounds(std::string_view html, const HeadVisitor& visit = {});

}  // namespace brevane
