// Binding a call's positional tuple and keyword dictionary to a function's
// parameters, with the interpreter's own wording for every binding failure.
// We bind ourselves because PyArg_ParseTupleAndKeywords writes other messages.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "module/py_ref.h"

namespace brevane {

// Every parameter is positional-or-keyword; the first `required` have no default.
struct Signature {
  const char* display_name;  // "embed()": how the messages name the function
  std::span<const char* const> parameters;
  std::size_t required;
};

// Fills `slots` (one per parameter) with references to the arguments, empty
// where an optional parameter was omitted. Returns false with a TypeError set
// when the call does not fit the signature. Nothing is converted and no object
// is created: the call path stays allocation-free.
//
// The slots own their references. A native caller may pass its own keyword
// dictionary and drop its contents while a conversion runs Python code (an
// __index__, a __len__), and the bytes views handed to the core must stay
// valid until the call ends.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyRef> slots);

}  // namespace brevane
