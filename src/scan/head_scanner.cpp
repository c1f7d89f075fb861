// The byte-level tag scanner and the head bounds. It reads markup as bytes, never
// decodes the document, never allocates per token once warmed up, and never
// looks at a byte twice except where a rule demands it (a raw-text end-tag
// candidate, an attribute name compared with earlier ones of its tag).
#include "scan/head_scanner.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "check.h"

namespace brevane {
namespace {

constexpr std::uint64_t kNotFound = std::string_view::npos;

// Byte classes, looked up once per byte in the tight loops of names and values.
enum : std::uint8_t {
  kWhitespace = 1,
  kNameChar = 2,          // tag-name continuation: letters, digits, "-", ".", ":", "_"
  kAttrNameStop = 4,      // whitespace, "/", "=", ">"
  kUnquotedValueStop = 8  // whitespace, ">"
};

constexpr std::array<std::uint8_t, 256> make_byte_classes() noexcept {
  std::array<std::uint8_t, 256> classes{};
  for (int c = 0; c < 256; ++c) {
    std::uint8_t bits = 0;
    const auto byte = static_cast<unsigned char>(c);
    if (is_ascii_whitespace(byte)) bits |= kWhitespace | kAttrNameStop | kUnquotedValueStop;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == ':' || c == '_') {
      bits |= kNameChar;
    }
    if (c == '/' || c == '=' || c == '>') bits |= kAttrNameStop;
    if (c == '>') bits |= kUnquotedValueStop;
    classes[static_cast<std::size_t>(c)] = bits;
  }
  return classes;
}

constexpr std::array<std::uint8_t, 256> kByteClasses = make_byte_classes();

constexpr bool has_class(char c, std::uint8_t bits) noexcept {
  return (kByteClasses[static_cast<unsigned char>(c)] & bits) != 0;
}

constexpr bool is_ascii_letter(char c) noexcept {
  const unsigned char folded = ascii_lower(static_cast<unsigned char>(c));
  return folded >= 'a' && folded <= 'z';
}

// Both sides in any case; the raw-text search and the attribute de-duplication
// compare names exactly as written in the document.
bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (ascii_lower(static_cast<unsigned char>(a[k])) !=
        ascii_lower(static_cast<unsigned char>(b[k]))) {
      return false;
    }
  }
  return true;
}

// Rule: text. Everything up to the next "<" is text; memchr makes long text
// runs cost what a plain copy would.
std::uint64_t skip_text(std::string_view html, std::uint64_t i) noexcept {
  return html.find('<', i);
}

// Rule: comment, with the cursor on "<!--". The terminator search starts after
// the opener so that "<!-->" and "<!--->" never close a comment. Returns the
// offset just past "-->", or kNotFound when the scan ends.
std::uint64_t skip_comment(std::string_view html, std::uint64_t i) noexcept {
  const std::uint64_t body = i + 4;
  if (html.size() - body < 3) return kNotFound;
  const std::uint64_t close = html.find("-->", body);
  return close == kNotFound ? kNotFound : close + 3;
}

// Rule: "<!" or "<?" declaration. The first ">" ends it whatever stands
// before; a doctype with a quoted ">" is not worth a grammar here.
std::uint64_t skip_declaration(std::string_view html, std::uint64_t i) noexcept {
  const std::uint64_t close = html.find('>', i + 1);
  return close == kNotFound ? kNotFound : close + 1;
}

// Rule: tag opening. Returns where the name begins, or kNotFound when the "<"
// is text (no letter where the name would begin).
std::uint64_t tag_name_start(std::string_view html, std::uint64_t i, bool is_end_tag) noexcept {
  const std::uint64_t name = i + (is_end_tag ? 2 : 1);
  if (name >= html.size() || !is_ascii_letter(html[name])) return kNotFound;
  return name;
}

// Rule: tag name. The first byte is already known to be a letter.
std::uint64_t tag_name_end(std::string_view html, std::uint64_t p) noexcept {
  ++p;
  while (p < html.size() && has_class(html[p], kNameChar)) ++p;
  return p;
}

std::uint64_t skip_whitespace(std::string_view html, std::uint64_t p) noexcept {
  while (p < html.size() && has_class(html[p], kWhitespace)) ++p;
  return p;
}

// Rule: attribute name. Quotes and "<" are ordinary name bytes here.
std::uint64_t attribute_name_end(std::string_view html, std::uint64_t p) noexcept {
  while (p < html.size() && !has_class(html[p], kAttrNameStop)) ++p;
  return p;
}

struct ValueRead {
  std::string_view value;
  std::uint64_t next = 0;  // where the attribute loop goes on
};

// Rule: attribute value, with p just past the "=". A quoted value is closed
// only by the quote byte that opened it; an unclosed one runs to the end.
ValueRead read_attribute_value(std::string_view html, std::uint64_t p) noexcept {
  const std::uint64_t n = html.size();
  p = skip_whitespace(html, p);
  if (p == n) return {std::string_view{}, n};
  const char first = html[p];
  if (first == '"' || first == '\'') {
    const std::uint64_t close = html.find(first, p + 1);
    if (close == kNotFound) return {html.substr(p + 1), n};
    return {html.substr(p + 1, close - (p + 1)), close + 1};
  }
  // A ">" right after "=" is no value byte: it still ends the tag.
  std::uint64_t q = p;
  while (q < n && !has_class(html[q], kUnquotedValueStop)) ++q;
  return {html.substr(p, q - p), q};
}

constexpr bool is_raw_text_element(std::string_view lower_name) noexcept {
  return lower_name == "script" || lower_name == "style" || lower_name == "title" ||
         lower_name == "textarea";
}

// Rule: raw-text skip. Returns the offset of the "</name" that ends the
// element's content, or kNotFound when the element is never closed. Only
// "</" positions are examined, each for at most the name's length, so runs of
// "</scrip" cost a bounded amount per byte.
std::uint64_t find_raw_text_end(std::string_view html, std::uint64_t from,
                                std::string_view lower_name) noexcept {
  const std::uint64_t n = html.size();
  const std::uint64_t len = lower_name.size();
  for (std::uint64_t c = html.find("</", from); c != kNotFound; c = html.find("</", c + 1)) {
    if (c + 2 + len > n) return kNotFound;
    if (!equals_ascii_lower(html.substr(c + 2, len), lower_name)) continue;
    const std::uint64_t after = c + 2 + len;
    if (after == n || has_class(html[after], kWhitespace) || html[after] == '/' ||
        html[after] == '>') {
      return c;
    }
  }
  return kNotFound;
}

// Keyed, case-folding hash of an attribute name, a word at a time.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;

constexpr std::uint64_t lower_word(std::uint64_t x) noexcept {
  // Per byte without carries: bit 7 of `from_a` is set for heptets >= 'A', of
  // `above_z` for heptets > 'Z'; non-ASCII bytes are excluded by ~x.
  const std::uint64_t heptets = x & (0x7F * kOnes);
  const std::uint64_t from_a = heptets + (0x3F * kOnes);
  const std::uint64_t above_z = heptets + (0x25 * kOnes);
  const std::uint64_t upper = ~x & (from_a ^ above_z) & (0x80 * kOnes);
  return x | (upper >> 2);
}

constexpr std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t hash_name(std::string_view name, std::uint64_t seed) noexcept {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  std::uint64_t h = seed ^ (name.size() * kMultiplier);
  std::size_t k = 0;
  for (; k + 8 <= name.size(); k += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, name.data() + k, 8);
    h = mix(h ^ lower_word(word), kMultiplier ^ seed);
  }
  if (k < name.size()) {
    std::uint64_t word = 0;
    std::memcpy(&word, name.data() + k, name.size() - k);
    h = mix(h ^ lower_word(word), kMultiplier ^ seed);
  }
  return mix(h, kMultiplier);
}

// Below this many names a tag is compared linearly: cheaper than hashing for
// every ordinary tag.
constexpr std::size_t kLinearNameLimit = 8;
constexpr std::size_t kFirstSlotCount = 32;
// A name slot keeps the top 24 bits of the hash above an index + 1 of 40 bits:
// a tag would need a trillion attributes to overflow it.
constexpr std::uint64_t kSlotTagMask = ~std::uint64_t{0} << 40;
constexpr std::uint64_t kSlotIndexLimit = std::uint64_t{1} << 40;

// Length of a well-formed UTF-8 sequence at `i` (ok), or of the maximal
// subpart of an ill-formed one (at least 1), which becomes one U+FFFD.
struct Utf8Step {
  bool ok = false;
  std::size_t length = 1;
};

Utf8Step utf8_step(std::string_view bytes, std::size_t i) noexcept {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  std::size_t trailing = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return {false, 1};
  }
  std::size_t length = 1;
  for (std::size_t t = 0; t < trailing; ++t) {
    if (i + length >= bytes.size()) return {false, length};
    const auto c = static_cast<unsigned char>(bytes[i + length]);
    if (c < low || c > high) return {false, length};
    low = 0x80;
    high = 0xBF;
    ++length;
  }
  return {true, length};
}

// Location reads rel and href on link start tags and type on script start tags,
// nothing else anywhere (see manifest_elements.cpp).
constexpr std::array<std::string_view, 2> kLinkLocationNames = {"rel", "href"};
constexpr std::array<std::string_view, 1> kScriptLocationNames = {"type"};

// Asked once per tag, so the name is compared as a view: length first, then
// the bytes inline, with no call into the library for the common mismatch.
std::span<const std::string_view> location_names(const TagToken& token) noexcept {
  if (token.is_end_tag) return {};
  const std::string_view name = token.name;
  if (name == "link") return kLinkLocationNames;
  if (name == "script") return kScriptLocationNames;
  return {};
}

// First occurrence wins, as in full mode; with at most two names kept, the check
// against earlier ones costs a constant per attribute and needs no hash set.
void keep_location_attribute(std::vector<TagAttribute>& kept, std::string_view name,
                             std::string_view value, std::span<const std::string_view> wanted) {
  for (const std::string_view lower : wanted) {
    if (!equals_ascii_lower(name, lower)) continue;
    for (const TagAttribute& earlier : kept) {
      if (equals_ascii_lower(earlier.name, lower)) return;
    }
    // Room for every name a tag can keep, once per scanner: a link's rel and
    // href then cost one allocation, not a growth step each.
    if (kept.capacity() < kLinkLocationNames.size()) kept.reserve(kLinkLocationNames.size());
    kept.push_back({name, value});
    return;
  }
}

bool is_start_tag(const TagToken& token, std::string_view lower_name) noexcept {
  return !token.is_end_tag && std::string_view(token.name) == lower_name;
}

bool is_end_tag(const TagToken& token, std::string_view lower_name) noexcept {
  return token.is_end_tag && std::string_view(token.name) == lower_name;
}

}  // namespace

bool equals_ascii_lower(std::string_view bytes, std::string_view lower) noexcept {
  if (bytes.size() != lower.size()) return false;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    if (ascii_lower(static_cast<unsigned char>(bytes[k])) != static_cast<unsigned char>(lower[k])) {
      return false;
    }
  }
  return true;
}

std::string_view trim_ascii_whitespace(std::string_view bytes) noexcept {
  std::size_t first = 0;
  while (first < bytes.size() && is_ascii_whitespace(static_cast<unsigned char>(bytes[first]))) {
    ++first;
  }
  std::size_t last = bytes.size();
  while (last > first && is_ascii_whitespace(static_cast<unsigned char>(bytes[last - 1]))) --last;
  return bytes.substr(first, last - first);
}

std::string utf8_with_replacement(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    std::size_t run = i;
    while (run < bytes.size() && static_cast<unsigned char>(bytes[run]) < 0x80) ++run;
    text.append(bytes.substr(i, run - i));
    i = run;
    if (i == bytes.size()) break;
    const Utf8Step step = utf8_step(bytes, i);
    if (step.ok) {
      text.append(bytes.substr(i, step.length));
    } else {
      text.append(kReplacement);
    }
    i += step.length;
  }
  return text;
}

const TagAttribute* TagToken::attribute(std::string_view lower_name) const noexcept {
  for (const TagAttribute& attr : attributes) {
    if (equals_ascii_lower(attr.name, lower_name)) return &attr;
  }
  return nullptr;
}

const TagToken* HeadScanner::next() {
  const std::string_view html = html_;
  const std::uint64_t n = html.size();
  while (!done_) {
    const std::uint64_t open = skip_text(html, cursor_);
    if (open == kNotFound) break;
    const std::uint64_t remaining = n - open;
    if (remaining >= 4 && html.compare(open, 4, "<!--") == 0) {
      cursor_ = skip_comment(html, open);
      if (cursor_ == kNotFound) break;
      continue;
    }
    if (remaining >= 2 && (html[open + 1] == '!' || html[open + 1] == '?')) {
      cursor_ = skip_declaration(html, open);
      if (cursor_ == kNotFound) break;
      continue;
    }
    const bool end_tag = remaining >= 2 && html[open + 1] == '/';
    const std::uint64_t name_start = tag_name_start(html, open, end_tag);
    if (name_start == kNotFound) {
      cursor_ = open + 1;
      continue;
    }
    read_tag(open, name_start, end_tag);
    cursor_ = token_.end;
    if (!end_tag && is_raw_text_element(token_.name)) {
      // Raw-text content is skipped so "<head>" in a script string is never a tag.
      cursor_ = find_raw_text_end(html, token_.end, token_.name);
      if (cursor_ == kNotFound) done_ = true;
    }
    return &token_;
  }
  done_ = true;
  return nullptr;
}

// Rules: tag name and attribute loop, filling token_ in place so that a
// warmed-up scanner allocates nothing per tag.
void HeadScanner::read_tag(std::uint64_t open, std::uint64_t name_start, bool is_end_tag) {
  const std::string_view html = html_;
  const std::uint64_t n = html.size();
  const std::uint64_t name_end = tag_name_end(html, name_start);
  // Lowered while copied: tag names are a few bytes, where a library copy and a
  // second pass cost more than the bytes themselves.
  token_.name.clear();
  for (std::uint64_t k = name_start; k < name_end; ++k) {
    token_.name.push_back(static_cast<char>(ascii_lower(static_cast<unsigned char>(html[k]))));
  }
  token_.attributes.clear();
  token_.start = open;
  token_.is_end_tag = is_end_tag;
  names_indexed_ = false;
  const bool full = mode_ == ScanMode::Full;
  const std::span<const std::string_view> wanted =
      full ? std::span<const std::string_view>{} : location_names(token_);

  std::uint64_t p = name_end;
  while (true) {
    if (p == n) {
      token_.end = n;
      return;
    }
    const char c = html[p];
    if (c == '/' || has_class(c, kWhitespace)) {
      ++p;
      continue;
    }
    if (c == '>') {
      token_.end = p + 1;
      return;
    }
    if (c == '=') {  // an empty attribute name is dropped, the "=" with it
      ++p;
      continue;
    }
    const std::uint64_t attr_name_end = attribute_name_end(html, p);
    const std::string_view attr_name = html.substr(p, attr_name_end - p);
    std::string_view value;
    p = attr_name_end;
    const std::uint64_t after_space = skip_whitespace(html, attr_name_end);
    if (after_space < n && html[after_space] == '=') {
      const ValueRead read = read_attribute_value(html, after_space + 1);
      value = read.value;
      p = read.next;
    }
    if (full) {
      if (is_new_attribute_name(attr_name)) token_.attributes.push_back({attr_name, value});
    } else if (!wanted.empty()) {
      keep_location_attribute(token_.attributes, attr_name, value, wanted);
    }
  }
}

// First occurrence wins. A handful of names are compared directly; past that
// the tag's names go into a keyed hash set so that a tag with a hundred
// thousand attributes still costs linear time.
bool HeadScanner::is_new_attribute_name(std::string_view name) {
  const std::size_t count = token_.attributes.size();
  if (count < kLinearNameLimit) {
    for (const TagAttribute& attr : token_.attributes) {
      if (equals_ignoring_ascii_case(attr.name, name)) return false;
    }
    return true;
  }
  if (!names_indexed_) index_attribute_names(kFirstSlotCount);
  return insert_name_slot(name, hash_name(name, seed_), count);
}

// Puts the names already listed into the first `slot_count` slots, which are
// cleared first; they are distinct, so every one of them is inserted.
void HeadScanner::index_attribute_names(std::size_t slot_count) {
  if (seed_ == 0) {
    // Addresses vary between runs (ASLR), which is all the keying needs: a
    // page cannot be prepared to collide in the table.
    seed_ = mix(reinterpret_cast<std::uintptr_t>(this) ^ 0x243F6A8885A308D3ULL,
                reinterpret_cast<std::uintptr_t>(html_.data()) | 1U) |
            1U;
  }
  names_indexed_ = true;
  if (name_slots_.size() < slot_count) name_slots_.resize(slot_count);
  name_slot_count_ = slot_count;
  std::fill_n(name_slots_.begin(), slot_count, std::uint64_t{0});
  const std::size_t mask = slot_count - 1;
  for (std::size_t k = 0; k < token_.attributes.size(); ++k) {
    const std::uint64_t hash = hash_name(token_.attributes[k].name, seed_);
    std::size_t slot = static_cast<std::size_t>(hash) & mask;
    while (name_slots_[slot] != 0) slot = (slot + 1) & mask;
    name_slots_[slot] = (hash & kSlotTagMask) | (k + 1);
  }
}

// Adds `name`, about to become token_.attributes[index], unless an equal name
// is there. The load stays at most one half: the table doubles before that.
bool HeadScanner::insert_name_slot(std::string_view name, std::uint64_t hash, std::size_t index) {
  BREVANE_CHECK(index + 1 < kSlotIndexLimit);
  if (2 * (index + 1) > name_slot_count_) index_attribute_names(2 * name_slot_count_);
  const std::size_t mask = name_slot_count_ - 1;
  const std::uint64_t tag = hash & kSlotTagMask;
  std::size_t slot = static_cast<std::size_t>(hash) & mask;
  while (name_slots_[slot] != 0) {
    const std::uint64_t entry = name_slots_[slot];
    if ((entry & kSlotTagMask) == tag &&
        equals_ignoring_ascii_case(token_.attributes[(entry & ~kSlotTagMask) - 1].name, name)) {
      return false;
    }
    slot = (slot + 1) & mask;
  }
  name_slots_[slot] = tag | (index + 1);
  return true;
}

std::vector<TagToken> scan_tags(std::string_view html) {
  std::vector<TagToken> tokens;
  HeadScanner scanner(html);
  while (const TagToken* token = scanner.next()) tokens.push_back(*token);
  return tokens;
}

HeadBounds find_head_bounds(std::uint64_t length, std::span<const TagToken> tokens) noexcept {
  const TagToken* head = nullptr;
  const TagToken* html = nullptr;
  for (const TagToken& token : tokens) {
    if (is_start_tag(token, "head")) {
      head = &token;
      break;
    }
    if (html == nullptr && is_start_tag(token, "html")) html = &token;
  }
  HeadBounds bounds;
  bounds.start = head != nullptr ? head->end : (html != nullptr ? html->end : 0);
  bounds.end = length;
  bool end_found = false;
  for (const TagToken& token : tokens) {
    if (token.start < bounds.start) continue;
    if (!end_found &&
        (is_end_tag(token, "head") || is_end_tag(token, "html") || is_start_tag(token, "body"))) {
      bounds.end = token.start;
      end_found = true;
    }
    if (is_end_tag(token, "head")) {
      bounds.close_tag_start = token.start;
      break;
    }
  }
  return bounds;
}

std::optional<std::uint64_t> find_head_close_tag(std::string_view html) {
  // Until a <head> start tag is met, the head may still begin after the first
  // <html> or at 0, so the first </head> after that anchor is only tentative
  // and the scan must go on to the end to rule out a later <head>.
  enum class Anchor : std::uint8_t { Document, Html, Head };
  Anchor anchor = Anchor::Document;
  std::optional<std::uint64_t> close;
  HeadScanner scanner(html, ScanMode::Location);
  while (const TagToken* token = scanner.next()) {
    if (anchor != Anchor::Head && is_start_tag(*token, "head")) {
      anchor = Anchor::Head;
      close.reset();
    } else if (anchor == Anchor::Document && is_start_tag(*token, "html")) {
      anchor = Anchor::Html;
      close.reset();
    } else if (!close && is_end_tag(*token, "head")) {
      close = token->start;
      if (anchor == Anchor::Head) break;
    }
  }
  return close;
}

}  // namespace brevane
