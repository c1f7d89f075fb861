// The bytes that survive a removal: everything outside the located elements'
// ranges, in order. Shared by removal and embedding so that both cut the very
// same bytes; for the document layer's own sources, not for callers.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "check.h"
#include "document/manifest_elements.h"

namespace brevane {

// The cleaned document's length. Location hands out ranges in order, without
// overlap and inside the document; anything else is our fault, not the input's.
inline std::uint64_t kept_length(std::string_view html, std::span<const ManifestElement> elements) {
  std::uint64_t cursor = 0;
  std::uint64_t removed = 0;
  for (const ManifestElement& element : elements) {
    BREVANE_CHECK(element.range.start >= cursor && element.range.start <= html.size() &&
                  element.range.length <= html.size() - element.range.start);
    removed += element.range.length;
    cursor = element.range.start + element.range.length;
  }
  return html.size() - removed;
}

// Writes the kept spans at `out`, one memcpy each; `out` holds kept_length bytes.
inline void write_kept(std::string_view html, std::span<const ManifestElement> elements,
                       char* out) noexcept {
  std::uint64_t cursor = 0;
  for (const ManifestElement& element : elements) {
    const std::uint64_t span = element.range.start - cursor;
    if (span != 0) std::memcpy(out, html.data() + cursor, span);
    out += span;
    cursor = element.range.start + element.range.length;
  }
  if (cursor != html.size()) std::memcpy(out, html.data() + cursor, html.size() - cursor);
}

}  // namespace brevane
