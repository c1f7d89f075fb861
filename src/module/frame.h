// The call frame shared by every entry point of the extension: fault
// containment, so that no C++ exception ever unwinds into the interpreter, and
// the one way the module raises its own host exceptions. Built as a small
// object library so that the test-only fault probe runs the very same code.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "module/py_ref.h"

namespace brevane {

// Sets `native_runtime.PanicException` with the fault's own description: what()
// of a std::exception, a fixed text for anything else. The type is created on
// first use, once per process. Ends the process when even that cannot be done,
// since returning without an exception set would be worse.
void raise_panic(const std::exception_ptr& fault) noexcept;

// The panic type, creating it if needed; never null (aborts instead).
PyObject* panic_type() noexcept;

// Raises `type(message)`: the class called with the message as its one str
// argument, so `args` is a one-element tuple. A message that could not be
// built (null) is an internal fault. Always returns nullptr, for `return`.
PyObject* raise_with_message(PyObject* type, PyRef message);
PyObject* raise_with_message(PyObject* type, std::string_view utf8_message);

// Runs one entry point's body. The body returns a new reference, or nullptr
// with the host exception set; anything it throws stops here.
template <class Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    // A failed allocation is reported, not fatal: the host keeps running.
    return PyErr_NoMemory();
  } catch (...) {
    raise_panic(std::current_exception());
  }
  return nullptr;
}

}  // namespace brevane
