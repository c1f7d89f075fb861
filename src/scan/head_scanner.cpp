// The byte-level tag scanner and the head bounds. It reads markup as bytes, never
// decodes the document, never allocates per token once warmed up, and never
// looks at a byte twice except where a rule demands it (a raw-text end-tag
// candidate, a kept attribute name compared with the earlier kept one).
#include "scan/head_scanner.h"

#include <array>
#include <span>
#include <vector>

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
[[gnu::always_inline]] inline ValueRead read_attribute_value(std::string_view html,
                                                             std::uint64_t p) noexcept {
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

// What manifest location consults (manifest_elements.cpp: is_manifest_link,
// is_manifest_script): rel and href on link start tags, type on script start tags.
constexpr std::array<std::string_view, 2> kLinkNames = {"rel", "href"};
constexpr std::array<std::string_view, 1> kScriptNames = {"type"};

// Asked once per tag, so the name is compared as a view: length first, then
// the bytes inline, with no call into the library for the common mismatch.
std::span<const std::string_view> kept_names(const TagToken& token) noexcept {
  if (token.is_end_tag) return {};
  const std::string_view name = token.name;
  if (name == "link") return kLinkNames;
  if (name == "script") return kScriptNames;
  return {};
}

// First occurrence wins; with at most two names kept, the check against
// earlier ones costs a constant per attribute.
void keep_attribute(std::vector<TagAttribute>& kept, const TagAttribute& attr,
                    std::span<const std::string_view> wanted) {
  for (const std::string_view lower : wanted) {
    if (!equals_ascii_lower(attr.name, lower)) continue;
    for (const TagAttribute& earlier : kept) {
      if (equals_ascii_lower(earlier.name, lower)) return;
    }
    // Room for every name a tag can keep, once per scan: a link's rel and href
    // then cost one allocation, not a growth step each.
    if (kept.capacity() < kLinkNames.size()) kept.reserve(kLinkNames.size());
    kept.push_back(attr);
    return;
  }
}

// Rule: attribute loop, one turn (read_attribute). Inlined into read_tag, and
// read_attribute_value forced inline into it: with two users the compiler would
// otherwise call it once per attribute, some 10% of the scan on attribute-heavy tags.
inline AttributeStep next_attribute(std::string_view html, std::uint64_t p) noexcept {
  const std::uint64_t n = html.size();
  while (p < n) {
    const char c = html[p];
    // "/" between attributes, the self-closing one included, sets nothing.
    if (c == '/' || has_class(c, kWhitespace)) {
      ++p;
      continue;
    }
    if (c == '>') return {{}, p + 1};
    if (c == '=') {  // an empty attribute name is dropped, the "=" with it
      ++p;
      continue;
    }
    const std::uint64_t name_end = attribute_name_end(html, p);
    const std::string_view name = html.substr(p, name_end - p);
    const std::uint64_t after_space = skip_whitespace(html, name_end);
    if (after_space < n && html[after_space] == '=') {
      const ValueRead read = read_attribute_value(html, after_space + 1);
      return {{name, read.value}, read.next};
    }
    return {{name, {}}, name_end};
  }
  return {{}, n};  // still open at the end of the document
}

// Rules: tag name and attribute loop, filling `token` in place so that a
// warmed-up scan allocates nothing per tag.
void read_tag(std::string_view html, std::uint64_t open, std::uint64_t name_start, bool is_end_tag,
              TagToken& token) {
  const std::uint64_t name_end = tag_name_end(html, name_start);
  // Lowered while copied: tag names are a few bytes, where a library copy and a
  // second pass cost more than the bytes themselves.
  token.name.clear();
  for (std::uint64_t k = name_start; k < name_end; ++k) {
    token.name.push_back(static_cast<char>(ascii_lower(static_cast<unsigned char>(html[k]))));
  }
  token.attributes.clear();
  token.start = open;
  token.is_end_tag = is_end_tag;
  const std::span<const std::string_view> wanted = kept_names(token);
  AttributeStep step = next_attribute(html, name_end);
  for (; !step.attribute.name.empty(); step = next_attribute(html, step.next)) {
    if (!wanted.empty()) keep_attribute(token.attributes, step.attribute, wanted);
  }
  token.end = step.next;
}

bool ends_head(const TagToken& token) noexcept {
  const std::string_view name = token.name;
  return token.is_end_tag ? (name == "head" || name == "html") : name == "body";
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

bool is_utf8(std::string_view bytes) noexcept {
  for (std::size_t i = 0; i < bytes.size();) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const Utf8Step step = utf8_step(bytes, i);
    if (!step.ok) return false;
    i += step.length;
  }
  return true;
}

const TagAttribute* TagToken::attribute(std::string_view lower_name) const noexcept {
  for (const TagAttribute& attr : attributes) {
    if (equals_ascii_lower(attr.name, lower_name)) return &attr;
  }
  return nullptr;
}

AttributeStep read_attribute(std::string_view html, std::uint64_t p) noexcept {
  return next_attribute(html, p);
}

namespace {

// The tokenizer behind scan_tags, a template so that find_head_bounds, the
// module's one caller, pays no indirect call per tag (a tenth of locating on a
// 1 KB page).
template <class Visit>
void for_each_tag(std::string_view html, Visit&& visit) {
  const std::uint64_t n = html.size();
  TagToken token;
  std::uint64_t cursor = 0;
  while (true) {
    const std::uint64_t open = skip_text(html, cursor);
    if (open == kNotFound) return;
    const std::uint64_t remaining = n - open;
    if (remaining >= 4 && html.compare(open, 4, "<!--") == 0) {
      cursor = skip_comment(html, open);
      if (cursor == kNotFound) return;
      continue;
    }
    if (remaining >= 2 && (html[open + 1] == '!' || html[open + 1] == '?')) {
      cursor = skip_declaration(html, open);
      if (cursor == kNotFound) return;
      continue;
    }
    const bool end_tag = remaining >= 2 && html[open + 1] == '/';
    const std::uint64_t name_start = tag_name_start(html, open, end_tag);
    if (name_start == kNotFound) {
      cursor = open + 1;
      continue;
    }
    read_tag(html, open, name_start, end_tag, token);
    cursor = token.end;
    if (!end_tag && is_raw_text_element(token.name)) {
      // Raw-text content is skipped so "<head>" in a script string is never a tag.
      cursor = find_raw_text_end(html, token.end, token.name);
    }
    if (!visit(token) || cursor == kNotFound) return;
  }
}

}  // namespace

void scan_tags(std::string_view html, const TagVisitor& visit) { for_each_tag(html, visit); }

HeadBounds find_head_bounds(std::string_view html, const HeadVisitor& visit) {
  HeadBounds bounds{0, html.size(), std::nullopt};
  bool head_found = false;
  bool html_found = false;
  bool end_found = false;
  for_each_tag(html, [&](const TagToken& token) {
    const std::string_view name = token.name;
    if (!token.is_end_tag && !head_found && (name == "head" || (!html_found && name == "html"))) {
      // A new anchor: what was found for the tentative head lies before it.
      head_found = name == "head";
      html_found = true;
      bounds = {token.end, html.size(), std::nullopt};
      end_found = false;
      return true;
    }
    if (!end_found) {
      if (ends_head(token)) {
        bounds.end = token.start;
        end_found = true;
      } else if (visit) {
        visit(token, bounds.start);
      }
    }
    // Not bounded by the head's end: a </head> after a <body> still closes it.
    if (!bounds.close_tag_start && token.is_end_tag && name == "head") {
      bounds.close_tag_start = token.start;
    }
    // Before a <head> start tag, a later one may still move the head.
    return !(head_found && bounds.close_tag_start);
  });
  return bounds;
}

}  // namespace brevane
