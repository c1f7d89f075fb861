// ByteSink: where an edit writes its result. An edit knows its output's size
// before it writes a byte, asks the sink once for exactly that many bytes, and
// fills them; the module's sink is a new bytes object, so nothing is copied twice.
#pragma once

#include <cstdint>
#include <string>

namespace brevane {

class ByteSink {
 public:
  // Storage for exactly `size` bytes, valid until the edit returns. Called at most
  // once per edit; throws std::bad_alloc when the storage cannot be had.
  virtual char* allocate(std::uint64_t size) = 0;

 protected:
  ByteSink() = default;
  ByteSink(const ByteSink&) = default;
  ByteSink& operator=(const ByteSink&) = default;
  ~ByteSink() = default;
};

// A sink that owns a std::string: the C++ API's results, and the tests'.
class StringSink final : public ByteSink {
 public:
  char* allocate(std::uint64_t size) override {
    bytes.resize(size);
    return bytes.data();
  }
  std::string bytes;
};

}  // namespace brevane
