// The byte-level tag scanner and the head bounds: the module's only reader of
// HTML markup. One forgiving forward pass, no tree, no validation, never fails,
// never changes the document. Comments, declarations, processing instructions and
// the contents of script, style, title and textarea are passed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
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
struct TagToken {
  std::string name;                      // lower-cased; first byte a letter
  std::vector<TagAttribute> attributes;  // source order, first occurrence of each name wins
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool is_end_tag = false;

  // The attribute whose lower-cased name is `lower_name`, or nullptr.
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

// What a scanner records of each tag's attributes. Both modes read every byte by
// the same rules, so names, offsets, end-tag flags and the skipped raw text agree.
//   Full:     every attribute, first occurrence of each name (scan_tags, tests).
//   Location: only what manifest location and the head bounds consult: the first
//             rel and href of a link start tag and the first type of a script start
//             tag, in source order; every other token has no attributes. A tag with
//             millions of attributes then costs its bytes and nothing more.
enum class ScanMode : std::uint8_t { Full, Location };

// A cursor over the tags of a borrowed document, one token at a time. The scanner
// must not outlive the document it views.
class HeadScanner {
 public:
  explicit HeadScanner(std::string_view html, ScanMode mode = ScanMode::Full) noexcept
      : html_(html), mode_(mode) {}

  // The next tag in document order, or nullptr once the document is exhausted.
  // The token is owned by the scanner and valid until the next call.
  const TagToken* next();

 private:
  // De-duplication of a tag's attribute names goes through an open-addressed set
  // once a tag has more than a handful, so a tag with very many stays linear.
  // A slot is 0 (free) or a tag of the name's hash over the index + 1 of the
  // attribute. Only the first name_slot_count_ slots serve the current tag, so
  // a large table left by an earlier tag costs later tags nothing to clear.
  void read_tag(std::uint64_t open, std::uint64_t name_start, bool is_end_tag);
  [[nodiscard]] bool is_new_attribute_name(std::string_view name);
  void index_attribute_names(std::size_t slot_count);
  [[nodiscard]] bool insert_name_slot(std::string_view name, std::uint64_t hash, std::size_t index);

  std::string_view html_;
  ScanMode mode_ = ScanMode::Full;
  std::uint64_t cursor_ = 0;
  bool done_ = false;
  TagToken token_;
  std::vector<std::uint64_t> name_slots_;
  std::size_t name_slot_count_ = 0;  // a power of two, at least twice the names indexed
  std::uint64_t seed_ = 0;           // keys the name hash, so colliding names cannot be precomputed
  bool names_indexed_ = false;       // the current tag's names are in name_slots_
};

// Every tag of the document, in order.
std::vector<TagToken> scan_tags(std::string_view html);

// The head bounds of a document of `length` bytes from its full token list.
HeadBounds find_head_bounds(std::uint64_t length, std::span<const TagToken> tokens) noexcept;

// The same close_tag_start as find_head_bounds over scan_tags(html), pulling tokens
// (in ScanMode::Location) only until the answer is known.
std::optional<std::uint64_t> find_head_close_tag(std::string_view html);

}  // namespace brevane
