// ByteRange: a run of bytes of a document, the unit of every offset brevane
// hands out or takes in (element ranges, exclusions). A plain value.
#pragma once

#include <cstdint>

namespace brevane {

// `start` up to, not including, `start + length`, in bytes of the document.
struct ByteRange {
  std::uint64_t start = 0;
  std::uint64_t length = 0;

  bool operator==(const ByteRange&) const = default;
};

}  // namespace brevane
