// Extraction, removal and both embeddings agree with location and with each
// other on any bytes. The first byte says how many of the last bytes are the
// store (and the href); the bytes between are the document. Every check is a
// property that holds for all inputs: a cut may join bytes into new markup, so
// nothing here assumes that the cleaned document has no manifest element left.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/base64.h"
#include "document/byte_sink.h"
#include "document/embed.h"
#include "document/extract.h"
#include "document/manifest_elements.h"
#include "document/remove.h"
#include "scan/head_scanner.h"
#include "support/reference.h"

namespace {

using brevane::ByteRange;
using brevane::DocumentError;
using brevane::ElementKind;
using brevane::ManifestElement;

void require(bool condition) {
  if (!condition) std::abort();
}

class CountingSink final : public brevane::ByteSink {
 public:
  char* allocate(std::uint64_t size) override {
    ++calls;
    requested = size;
    bytes.assign(size, '\0');
    return bytes.data();
  }
  int calls = 0;
  std::uint64_t requested = 0;
  std::string bytes;
};

std::string_view slice(std::string_view html, ByteRange range) {
  return html.substr(range.start, range.length);
}

// The document without the ranges, by the plainest reading: erase back to front.
std::string without(std::string_view html, std::span<const ManifestElement> elements) {
  std::string rest(html);
  for (std::size_t i = elements.size(); i > 0; --i) {
    rest.erase(elements[i - 1].range.start, elements[i - 1].range.length);
  }
  return rest;
}

void check_extract(std::string_view html, const std::vector<ManifestElement>& elements) {
  const auto association = brevane::extract_association(html);
  const auto range = brevane::check_association(html);
  require(association.ok() == range.ok());
  if (!association.ok()) require(association.error() == range.error());

  if (elements.empty()) {
    require(!association.ok() && association.error() == DocumentError::no_manifest());
    return;
  }
  if (elements.size() > 1) {
    require(!association.ok() && association.error() == DocumentError::multiple_manifests());
    return;
  }
  const ManifestElement& element = elements.front();
  if (element.kind == ElementKind::Embedded) {
    const std::string_view text = brevane::trim_ascii_whitespace(slice(html, element.content));
    if (!association.ok()) {
      require(association.error() ==
              DocumentError::malformed(brevane::MalformedCause::ScriptNotBase64));
      require(!brevane::base64_valid(text));
      return;
    }
    // Strict reading accepts one spelling per store, so the store spells the text.
    require(brevane::support::base64_text(association.value().store) == text);
  } else {
    if (!association.ok()) {
      require(association.error() ==
              DocumentError::malformed(brevane::MalformedCause::LinkWithoutHref));
      require(!element.href || element.href->empty());
      return;
    }
    require(element.href && association.value().href == *element.href);
  }
  require(association.value().kind == element.kind);
  require(association.value().start == element.range.start);
  require(association.value().length == element.range.length);
  require(range.value().kind == element.kind && range.value().range == element.range);
}

std::string check_remove(std::string_view html, const std::vector<ManifestElement>& elements) {
  std::uint64_t removed = 0;
  for (const ManifestElement& element : elements) removed += element.range.length;
  CountingSink sink;
  brevane::remove_into(html, sink);
  require(sink.calls == 1 && sink.requested == html.size() - removed);
  require(sink.bytes == without(html, elements));
  require(brevane::support::remove(html) == sink.bytes);
  return sink.bytes;
}

// The insertion point by the plain reading of tests/support: the whole token
// list of the cleaned document, not the streaming find_head_bounds of embedding.
std::optional<std::uint64_t> plain_close_tag(std::string_view cleaned) {
  const std::vector<brevane::TagToken> tokens = brevane::support::full_tokens(cleaned);
  return brevane::support::head_bounds_of(cleaned.size(), tokens).close_tag_start;
}

void check_embedded(std::string_view cleaned, std::optional<std::uint64_t> at,
                    const std::optional<DocumentError>& error, const CountingSink& sink,
                    std::string_view element) {
  if (!at) {
    require(error.has_value() && *error == DocumentError::no_head());
    return;
  }
  require(!error.has_value());
  require(sink.calls == 1 && sink.requested == cleaned.size() + element.size());
  const std::string_view out = sink.bytes;
  require(out.substr(0, *at) == cleaned.substr(0, *at));
  require(out.substr(*at, element.size()) == element);
  require(out.substr(*at + element.size()) == cleaned.substr(*at));
  // Where location meets the new element, it sees exactly the bytes written.
  for (const ManifestElement& found : brevane::locate_manifest_elements(out)) {
    if (found.range.start == *at) require(found.range.length == element.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(  // NOLINT(readability-identifier-naming)
    const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t payload_size = std::min<std::size_t>(data[0], input.size());
  const std::string_view html = input.substr(0, input.size() - payload_size);
  const std::string_view payload = input.substr(input.size() - payload_size);

  const std::vector<ManifestElement> elements = brevane::locate_manifest_elements(html);
  check_extract(html, elements);
  const std::string cleaned = check_remove(html, elements);

  const std::optional<std::uint64_t> at = plain_close_tag(cleaned);

  CountingSink inline_sink;
  const auto inline_error = brevane::embed_into(html, payload, inline_sink);
  const std::string script =
      R"(<script type="application/c2pa">)" + brevane::support::base64_text(payload) + "</script>";
  check_embedded(cleaned, at, inline_error, inline_sink, script);
  if (!inline_error) {
    // A lone new element in the head gives back the store that went in.
    const auto found = brevane::locate_manifest_elements(inline_sink.bytes);
    if (found.size() == 1 && found.front().range == ByteRange{*at, script.size()}) {
      const auto back = brevane::extract_association(inline_sink.bytes);
      require(back.ok() && back.value().store == payload);
    }
  }

  CountingSink link_sink;
  const auto link_error = brevane::embed_reference_into(html, payload, link_sink);
  const std::string link = R"(<link rel="c2pa-manifest" href=")" +
                           brevane::support::escaped_href(payload) +
                           R"(" type="application/c2pa">)";
  check_embedded(cleaned, at, link_error, link_sink, link);
  require(inline_error.has_value() == link_error.has_value());
  return 0;
}
