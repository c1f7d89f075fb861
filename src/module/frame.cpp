// Fault containment and exception raising for the extension's entry points.
// Nothing here is ever reached by a valid or invalid document: an internal
// fault is a broken invariant of our own code.
#include "module/frame.h"

#include <cstdlib>
#include <string>

#include "check.h"

namespace brevane {
namespace {

constexpr const char* kPanicDoc =
    "Raised when brevane's native code meets an internal fault: a broken invariant of\n"
    "the module itself, never a property of the document it was given.\n"
    "\n"
    "Like SystemExit, it derives from BaseException and not from Exception, so that\n"
    "an `except Exception` handler does not swallow it: it typically propagates all\n"
    "the way up and ends the interpreter.";

// Written once, under the interpreter lock, and kept until the process ends.
PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* panic_type() noexcept {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc("native_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
    // Without the type there is no way to report the fault, and unwinding into
    // the interpreter is not an option.
    if (g_panic_type == nullptr) std::abort();
  }
  return g_panic_type;
}

void raise_panic(const std::exception_ptr& fault) noexcept {
  std::string_view description = kUndescribedFault;
  try {
    std::rethrow_exception(fault);
  } catch (const std::exception& e) {
    description = e.what();
  } catch (...) {
  }
  // A fault may follow a failed interpreter call whose exception is still set.
  // The interpreter cannot be called with it pending, so it is taken out here
  // and kept as the panic's __context__.
  PyObject* pending_type = nullptr;
  PyObject* pending = nullptr;
  PyObject* pending_traceback = nullptr;
  PyErr_Fetch(&pending_type, &pending, &pending_traceback);
  PyErr_NormalizeException(&pending_type, &pending, &pending_traceback);
  if (pending != nullptr && pending_traceback != nullptr) {
    PyException_SetTraceback(pending, pending_traceback);
  }
  Py_XDECREF(pending_type);
  Py_XDECREF(pending_traceback);
  PyRef context = PyRef::steal(pending);

  PyObject* const type = panic_type();
  // "replace": a description that is not UTF-8 must not turn into a second fault.
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
      description.data(), static_cast<Py_ssize_t>(description.size()), "replace"));
  if (!message) std::abort();
  PyRef instance = PyRef::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (!instance) std::abort();
  // PyException_SetContext steals its argument.
  if (context) PyException_SetContext(instance.get(), context.release());
  PyErr_SetObject(type, instance.get());
}

PyObject* raise_with_message(PyObject* type, PyRef message) {
  // Building the text of an exception cannot fail on any input; if it does,
  // that is ours to report, not the caller's.
  BREVANE_CHECK(message);
  PyRef instance = PyRef::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
  if (instance) PyErr_SetObject(type, instance.get());
  return nullptr;
}

PyObject* raise_with_message(PyObject* type, std::string_view utf8_message) {
  return raise_with_message(
      type, PyRef::steal(PyUnicode_DecodeUTF8(
                utf8_message.data(), static_cast<Py_ssize_t>(utf8_message.size()), "replace")));
}

}  // namespace brevane
