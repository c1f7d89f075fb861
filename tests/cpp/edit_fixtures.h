// What the removal and embedding tests share: a manifest element of each kind,
// and a sink that records every request, so a second allocation or a wrong
// size shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "document/byte_sink.h"

namespace brevane::fixtures {

inline const std::string kScript = "<script type=\"application/c2pa\">QUJD</script>";
inline const std::string kLink = R"(<link rel="c2pa-manifest" href="m.c2pa">)";

class RecordingSink final : public ByteSink {
 public:
  char* allocate(std::uint64_t size) override {
    sizes.push_back(size);
    bytes.assign(size, '\0');
    return bytes.data();
  }
  std::vector<std::uint64_t> sizes;
  std::string bytes;
};

}  // namespace brevane::fixtures
