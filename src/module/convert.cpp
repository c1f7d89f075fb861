// Argument and result conversions. Messages are the host-visible contract and
// are spelled exactly; exceptions raised by the interpreter itself during a
// conversion (OverflowError, UnicodeEncodeError, an __index__'s own error)
// keep their type and text.
#include "module/convert.h"

#include <algorithm>
#include <limits>
#include <new>

#include "check.h"
#include "module/frame.h"

namespace brevane {
namespace {

constexpr const char* kUnknownTypeName = "<failed to extract type name>";
constexpr Py_ssize_t kMaxReservedRanges = 4096;

// "'bytearray' object cannot be converted to 'PyBytes'".
void raise_wrong_type(PyObject* arg, const char* target) {
  // The type's own __qualname__: PyType_GetQualName is not in the 3.9 stable ABI.
  PyRef qualname = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(arg)), "__qualname__"));
  if (!qualname || !PyUnicode_Check(qualname.get())) {
    PyErr_Clear();
    qualname = PyRef::steal(PyUnicode_FromString(kUnknownTypeName));
    if (!qualname) return;
  }
  raise_with_message(PyExc_TypeError,
                     PyRef::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'",
                                                       qualname.get(), target)));
}

// Only a plain TypeError gets the argument name; any other failure, a
// TypeError subclass included, is reported exactly as it was raised. The new
// error keeps the old one's cause (which also suppresses the context).
void prefix_argument_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef old_type = PyRef::steal(type);
  PyRef old = PyRef::steal(value);
  PyRef old_traceback = PyRef::steal(traceback);
  if (!old) {
    // Only a misbehaving extension raises TypeError without a value.
    old = PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, nullptr));
    if (!old) return;
  }
  PyRef text = PyRef::steal(PyObject_Str(old.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  BREVANE_CHECK(message);
  PyRef replacement =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  // PyException_SetCause steals the cause and sets __suppress_context__.
  PyException_SetCause(replacement.get(), PyException_GetCause(old.get()));
  PyErr_Restore(new_ref(PyExc_TypeError), replacement.release(), nullptr);
}

std::optional<std::uint64_t> to_u64(PyObject* item) {
  PyRef index;
  if (!PyLong_Check(item)) {
    index = PyRef::steal(PyNumber_Index(item));
    if (!index) return std::nullopt;
    item = index.get();
  }
  // A negative value or one of 2**64 or more raises the interpreter's own
  // OverflowError here.
  const unsigned long long value = PyLong_AsUnsignedLongLong(item);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

std::optional<ByteRange> to_range(PyObject* item) {
  if (!PyTuple_Check(item)) {
    raise_wrong_type(item, "PyTuple");
    return std::nullopt;
  }
  const Py_ssize_t size = PyTuple_Size(item);
  if (size != 2) {
    raise_with_message(PyExc_ValueError, "expected tuple of length 2, but got tuple of length " +
                                             std::to_string(size));
    return std::nullopt;
  }
  const auto start = to_u64(PyTuple_GetItem(item, 0));
  if (!start) return std::nullopt;
  const auto length = to_u64(PyTuple_GetItem(item, 1));
  if (!length) return std::nullopt;
  return ByteRange{*start, *length};
}

std::optional<std::vector<ByteRange>> to_exclusions(PyObject* arg) {
  if (PyUnicode_Check(arg)) {
    raise_with_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(arg)) {
    raise_wrong_type(arg, "Sequence");
    return std::nullopt;
  }
  std::vector<ByteRange> ranges;
  // The length only sizes the list; a sequence that cannot tell is still
  // iterated. The hint is capped: a __len__ that claims 2**62 items must not
  // turn into an allocation failure before a single item has been seen.
  const Py_ssize_t hint = PySequence_Size(arg);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    ranges.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, kMaxReservedRanges)));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(arg));
  if (!iterator) return std::nullopt;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const auto range = to_range(item.get());
    if (!range) return std::nullopt;
    ranges.push_back(*range);
  }
  if (PyErr_Occurred() != nullptr) return std::nullopt;
  return ranges;
}

}  // namespace

std::optional<std::string_view> bytes_argument(PyObject* arg, const char* name) {
  if (PyBytes_Check(arg)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(arg, &data, &size) == 0) {
      return std::string_view(data, static_cast<std::size_t>(size));
    }
  } else {
    raise_wrong_type(arg, "PyBytes");
  }
  prefix_argument_error(name);
  return std::nullopt;
}

std::optional<std::string> str_argument(PyObject* arg, const char* name) {
  if (PyUnicode_Check(arg)) {
    // Strict UTF-8: a lone surrogate raises the interpreter's UnicodeEncodeError.
    PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(arg));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (utf8 && PyBytes_AsStringAndSize(utf8.get(), &data, &size) == 0) {
      return std::string(data, static_cast<std::size_t>(size));
    }
  } else {
    raise_wrong_type(arg, "PyString");
  }
  prefix_argument_error(name);
  return std::nullopt;
}

std::optional<std::vector<ByteRange>> exclusions_argument(PyObject* arg, const char* name) {
  auto ranges = to_exclusions(arg);
  if (!ranges) prefix_argument_error(name);
  return ranges;
}

PyObject* raise_document_error(const DocumentError& error) {
  // Always the plain ValueError: the kind shows only through the message.
  return raise_with_message(PyExc_ValueError, error.host_message());
}

PyRef range_tuple(ByteRange range) {
  PyRef start = PyRef::steal(PyLong_FromUnsignedLongLong(range.start));
  if (!start) return {};
  PyRef length = PyRef::steal(PyLong_FromUnsignedLongLong(range.length));
  if (!length) return {};
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) return {};
  // PyTuple_SetItem steals, even when it fails.
  if (PyTuple_SetItem(tuple.get(), 0, start.release()) != 0) return {};
  if (PyTuple_SetItem(tuple.get(), 1, length.release()) != 0) return {};
  return tuple;
}

PyRef range_list(std::span<const ByteRange> ranges) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
  if (!list) return {};
  Py_ssize_t i = 0;
  for (const ByteRange& range : ranges) {
    PyRef tuple = range_tuple(range);
    if (!tuple) return {};
    if (PyList_SetItem(list.get(), i++, tuple.release()) != 0) return {};
  }
  return list;
}

PyRef new_bytes(std::string_view bytes) {
  return PyRef::steal(
      PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

PyRef new_str(std::string_view utf8) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

char* PyBytesSink::allocate(std::uint64_t size) {
  BREVANE_CHECK(!bytes_);
  if (size > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
    throw std::bad_alloc();
  }
  bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes_) {
    PyErr_Clear();
    throw std::bad_alloc();  // reported as MemoryError by the call frame
  }
  // PyBytes_AS_STRING is not in the stable ABI; the object is new and ours alone.
  return PyBytes_AsString(bytes_.get());
}

PyObject* PyBytesSink::release() {
  BREVANE_CHECK(bytes_);
  return bytes_.release();
}

}  // namespace brevane
