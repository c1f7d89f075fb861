// Embedding: removal, then one new element spliced in directly before the head's
// end tag of the cleaned document. The output is written once, straight into the
// sink: the document is never copied to an intermediate buffer, and the Base64
// text or escaped href is produced in place.
#include "document/embed.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "document/base64.h"
#include "document/manifest_elements.h"
#include "document/removal_cut.h"
#include "scan/head_scanner.h"

namespace brevane {
namespace {

constexpr std::string_view kScriptOpen = R"(<script type="application/c2pa">)";
constexpr std::string_view kScriptClose = "</script>";
constexpr std::string_view kLinkOpen = R"(<link rel="c2pa-manifest" href=")";
constexpr std::string_view kLinkClose = R"(" type="application/c2pa">)";
// The markup must name what location looks for, or an embedded page would not
// find its own element again.
static_assert(kScriptOpen.size() + kScriptClose.size() == 41);
static_assert(kScriptOpen.substr(14, 16) == kScriptType);
static_assert(kLinkOpen.size() + kLinkClose.size() == 58);
static_assert(kLinkOpen.substr(11, 13) == kLinkRel);
static_assert(kLinkClose.substr(8, 16) == kScriptType);

constexpr std::string_view kQuot = "&quot;";
constexpr std::string_view kAmp = "&amp;";
constexpr std::string_view kLt = "&lt;";

// The escape of one byte, or an empty view for a byte written as it is. The
// three escaped bytes are ASCII, so a byte walk never splits a UTF-8 sequence.
constexpr std::string_view escape_of(char c) noexcept {
  switch (c) {
    case '"':
      return kQuot;
    case '&':
      return kAmp;
    case '<':
      return kLt;
    default:
      return {};
  }
}

std::uint64_t escaped_length(std::string_view href) noexcept {
  std::uint64_t length = href.size();
  for (const char c : href) length += escape_of(c).empty() ? 0 : escape_of(c).size() - 1;
  return length;
}

// Copies runs of plain bytes whole and spells out each escape between them.
char* write_escaped(std::string_view href, char* out) noexcept {
  std::size_t run = 0;
  for (std::size_t i = 0; i < href.size(); ++i) {
    const std::string_view escape = escape_of(href[i]);
    if (escape.empty()) continue;
    std::memcpy(out, href.data() + run, i - run);
    out += i - run;
    std::memcpy(out, escape.data(), escape.size());
    out += escape.size();
    run = i + 1;
  }
  // An empty href may have no storage at all, and memcpy wants a real pointer.
  if (run == href.size()) return out;
  std::memcpy(out, href.data() + run, href.size() - run);
  return out + (href.size() - run);
}

char* write_view(std::string_view bytes, char* out) noexcept {
  std::memcpy(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

// Writes the cleaned document with `element_length` bytes of room before its
// head's end tag, and lets `write_element` fill them. Without manifest elements
// the cleaned document is the input, so the one pass that found no elements has
// also found its end tag, before anything is allocated, and prefix, element and
// suffix go straight to their places. With elements, the cut can join bytes into
// new markup (`a<` + element + `b>` makes a tag), so the cleaned document itself
// is written first and scanned where it lies; only its tail then moves up to open
// the gap.
template <class WriteElement>
std::optional<DocumentError> splice(std::string_view html, std::uint64_t element_length,
                                    ByteSink& sink, WriteElement&& write_element) {
  HeadBounds head;
  const std::vector<ManifestElement> elements = locate_manifest_elements(html, &head);
  if (elements.empty()) {
    const std::optional<std::uint64_t> close = head.close_tag_start;
    if (!close) return DocumentError::no_head();
    char* const out = sink.allocate(html.size() + element_length);
    std::memcpy(out, html.data(), *close);
    write_element(out + *close);
    std::memcpy(out + *close + element_length, html.data() + *close, html.size() - *close);
    return std::nullopt;
  }
  const std::uint64_t cleaned_length = kept_length(html, elements);
  char* const out = sink.allocate(cleaned_length + element_length);
  write_kept(html, elements, out);
  const std::optional<std::uint64_t> close =
      find_head_bounds(std::string_view(out, cleaned_length)).close_tag_start;
  if (!close) return DocumentError::no_head();
  std::memmove(out + *close + element_length, out + *close, cleaned_length - *close);
  write_element(out + *close);
  return std::nullopt;
}

}  // namespace

std::optional<DocumentError> embed_into(std::string_view html, std::string_view store,
                                        ByteSink& sink) {
  const std::uint64_t text_length = base64_encoded_length(store.size());
  return splice(html, kScriptOpen.size() + text_length + kScriptClose.size(), sink, [&](char* out) {
    out = write_view(kScriptOpen, out);
    base64_encode_to(store, out);
    write_view(kScriptClose, out + text_length);
  });
}

std::optional<DocumentError> embed_reference_into(std::string_view html, std::string_view href,
                                                  ByteSink& sink) {
  return splice(html, kLinkOpen.size() + escaped_length(href) + kLinkClose.size(), sink,
                [&](char* out) {
                  out = write_view(kLinkOpen, out);
                  out = write_escaped(href, out);
                  write_view(kLinkClose, out);
                });
}

}  // namespace brevane
