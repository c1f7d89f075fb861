// Plain readings for tests and fuzz targets; see reference.h.
#include "support/reference.h"

#include <unordered_set>
#include <utility>

#include "document/base64.h"
#include "document/embed.h"
#include "document/remove.h"

namespace brevane::support {
namespace {

std::string lowered(std::string_view bytes) {
  std::string text(bytes);
  for (char& c : text) c = static_cast<char>(ascii_lower(static_cast<unsigned char>(c)));
  return text;
}

bool is_start(const TagToken& token, std::string_view name) {
  return !token.is_end_tag && token.name == name;
}

bool is_end(const TagToken& token, std::string_view name) {
  return token.is_end_tag && token.name == name;
}

const TagAttribute* attribute_of(const TagToken& token, std::string_view lower_name) {
  for (const TagAttribute& attr : token.attributes) {
    if (lowered(attr.name) == lower_name) return &attr;
  }
  return nullptr;
}

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::string word;
  for (const char c : text) {
    if (is_ascii_whitespace(static_cast<unsigned char>(c))) {
      if (!word.empty()) out.push_back(std::exchange(word, {}));
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) out.push_back(word);
  return out;
}

}  // namespace

std::vector<TagToken> full_tokens(std::string_view html) {
  std::vector<TagToken> tokens;
  scan_tags(html, [&](const TagToken& token) {
    TagToken full = token;
    full.attributes.clear();
    std::unordered_set<std::string> seen;
    const std::uint64_t name_end = token.start + (token.is_end_tag ? 2 : 1) + token.name.size();
    for (AttributeStep step = read_attribute(html, name_end); !step.attribute.name.empty();
         step = read_attribute(html, step.next)) {
      if (seen.insert(lowered(step.attribute.name)).second)
        full.attributes.push_back(step.attribute);
    }
    tokens.push_back(std::move(full));
    return true;
  });
  return tokens;
}

std::vector<TagToken> location_subset(std::vector<TagToken> tokens) {
  for (TagToken& token : tokens) {
    std::erase_if(token.attributes, [&token](const TagAttribute& attr) {
      const std::string name = lowered(attr.name);
      if (is_start(token, "link")) return name != "rel" && name != "href";
      return !is_start(token, "script") || name != "type";
    });
  }
  return tokens;
}

HeadBounds head_bounds_of(std::uint64_t length, std::span<const TagToken> tokens) {
  const TagToken* head = nullptr;
  const TagToken* html = nullptr;
  for (const TagToken& token : tokens) {
    if (head == nullptr && is_start(token, "head")) head = &token;
    if (html == nullptr && is_start(token, "html")) html = &token;
  }
  HeadBounds bounds;
  bounds.start = head != nullptr ? head->end : (html != nullptr ? html->end : 0);
  bounds.end = length;
  for (const TagToken& token : tokens) {
    if (token.start < bounds.start) continue;
    if (is_end(token, "head") || is_end(token, "html") || is_start(token, "body")) {
      bounds.end = token.start;
      break;
    }
  }
  for (const TagToken& token : tokens) {
    if (token.start >= bounds.start && is_end(token, "head")) {
      bounds.close_tag_start = token.start;
      break;
    }
  }
  return bounds;
}

std::vector<ManifestElement> elements_of(std::string_view html, std::span<const TagToken> tokens,
                                         const HeadBounds& bounds) {
  std::vector<ManifestElement> elements;
  for (std::size_t k = 0; k < tokens.size(); ++k) {
    const TagToken& token = tokens[k];
    if (token.start < bounds.start || token.end > bounds.end || token.is_end_tag) continue;
    if (token.name == "link") {
      const TagAttribute* rel = attribute_of(token, "rel");
      if (rel == nullptr) continue;
      bool names_manifest = false;
      for (const std::string& word : words(rel->value)) {
        names_manifest = names_manifest || lowered(word) == "c2pa-manifest";
      }
      if (!names_manifest) continue;
      ManifestElement element;
      element.kind = ElementKind::Referenced;
      element.range = {token.start, token.end - token.start};
      if (const TagAttribute* href = attribute_of(token, "href")) {
        element.href = utf8_with_replacement(href->value);
      }
      elements.push_back(element);
    } else if (token.name == "script") {
      const TagAttribute* type = attribute_of(token, "type");
      if (type == nullptr || lowered(trim_ascii_whitespace(type->value)) != "application/c2pa") {
        continue;
      }
      ManifestElement element;
      element.kind = ElementKind::Embedded;
      if (k + 1 < tokens.size() && is_end(tokens[k + 1], "script")) {
        element.range = {token.start, tokens[k + 1].end - token.start};
        element.content = {token.end, tokens[k + 1].start - token.end};
      } else {
        element.range = {token.start, html.size() - token.start};
        element.content = {token.end, html.size() - token.end};
      }
      elements.push_back(element);
    }
  }
  return elements;
}

std::string gathered_content(std::string_view html, std::span<const ByteRange> exclusions) {
  std::string kept;
  std::uint64_t cursor = 0;
  for (const ByteRange& entry : exclusions) {
    kept.append(html.substr(cursor, entry.start - cursor));
    cursor = entry.start + entry.length;
  }
  kept.append(html.substr(cursor));
  return kept;
}

std::string base64_text(std::string_view bytes) {
  std::string text(base64_encoded_length(bytes.size()), '\0');
  base64_encode_to(bytes, text.data());
  return text;
}

std::string escaped_href(std::string_view href) {
  std::string out;
  for (const char c : href) {
    if (c == '"') {
      out += "&quot;";
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else {
      out += c;
    }
  }
  return out;
}

Result<std::string> embed(std::string_view html, std::string_view store) {
  StringSink sink;
  if (const auto error = embed_into(html, store, sink)) return *error;
  return std::move(sink.bytes);
}

Result<std::string> embed_reference(std::string_view html, std::string_view href) {
  StringSink sink;
  if (const auto error = embed_reference_into(html, href, sink)) return *error;
  return std::move(sink.bytes);
}

std::string remove(std::string_view html) {
  StringSink sink;
  remove_into(html, sink);
  return std::move(sink.bytes);
}

}  // namespace brevane::support
