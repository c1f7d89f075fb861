// The references that tests and fuzz targets hold the core to, and owning forms
// of what the module writes into bytes objects. Plain readings, written for
// clarity over speed: a whole token list with every attribute, the head bounds
// and the manifest elements read off that list, the bytes outside exclusions
// gathered into one string. Nothing here is part of the module.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/byte_sink.h"
#include "document/manifest_elements.h"
#include "document/result.h"
#include "scan/head_scanner.h"

namespace brevane::support {

// Every tag of the document, in order, each with every attribute (the first
// occurrence of each name, as the scanner keeps them), read with the scanner's
// own read_attribute. Linear: a set of the tag's lower-cased names drops repeats.
std::vector<TagToken> full_tokens(std::string_view html);

// What scan_tags keeps of full tokens: rel and href on link start tags, type on
// script start tags, nothing elsewhere.
std::vector<TagToken> location_subset(std::vector<TagToken> tokens);

// The head bounds of a document of `length` bytes from its whole token list.
HeadBounds head_bounds_of(std::uint64_t length, std::span<const TagToken> tokens);

// The manifest elements of the head from the whole token list and its bounds.
std::vector<ManifestElement> elements_of(std::string_view html, std::span<const TagToken> tokens,
                                         const HeadBounds& bounds);

// The bytes outside a list of exclusions that hashed_content accepts, copied.
std::string gathered_content(std::string_view html, std::span<const ByteRange> exclusions);

// Padded Base64 text, through base64_encode_to.
std::string base64_text(std::string_view bytes);

// The href as embed_reference_into writes it: `"`, `&`, `<` escaped.
std::string escaped_href(std::string_view href);

// The edits into a std::string.
Result<std::string> embed(std::string_view html, std::string_view store);
Result<std::string> embed_reference(std::string_view html, std::string_view href);
std::string remove(std::string_view html);

}  // namespace brevane::support
