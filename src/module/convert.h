// Conversions across the boundary: host arguments into the forms the core
// takes (bytes viewed in place, str copied as UTF-8, exclusions as ByteRange),
// results into new host objects, and DocumentError into ValueError.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/byte_sink.h"
#include "document/document_error.h"
#include "document/manifest_elements.h"
#include "module/py_ref.h"

namespace brevane {

// Each returns nothing with the host exception set when the argument does not
// convert; a plain TypeError then carries the "argument 'name': " prefix and any
// other exception stays as raised (prefix_argument_error in convert.cpp). The
// bytes view borrows the argument's own buffer, valid for the call since the
// binder's slots hold a reference to the argument (bind_arguments in binding.h).
std::optional<std::string_view> bytes_argument(PyObject* arg, const char* name);
std::optional<std::string> str_argument(PyObject* arg, const char* name);
std::optional<std::vector<ByteRange>> exclusions_argument(PyObject* arg, const char* name);

// Raises the ValueError that stands for `error` (its message, and its status
// code in brackets where the kind has one). Always returns nullptr.
PyObject* raise_document_error(const DocumentError& error);

PyRef range_tuple(ByteRange range);
PyRef range_list(std::span<const ByteRange> ranges);
PyRef new_bytes(std::string_view bytes);
PyRef new_str(std::string_view utf8);

// The sink an edit writes into: a new bytes object of exactly the size asked
// for, so the result is written once, in place, with no intermediate copy.
class PyBytesSink final : public ByteSink {
 public:
  char* allocate(std::uint64_t size) override;
  // The filled bytes object; the edit must have asked for storage.
  [[nodiscard]] PyObject* release();

 private:
  PyRef bytes_;
};

}  // namespace brevane
