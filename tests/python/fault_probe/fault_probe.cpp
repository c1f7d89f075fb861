// A test-only extension that drives the module's call frame into each of its
// fault paths, which the real functions never reach on any input. It links the
// same frame code as brevane and is never installed.
#include <Python.h>

#include <array>
#include <new>
#include <stdexcept>

#include "check.h"
#include "module/frame.h"

namespace {

PyObject* broken_invariant(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return brevane::call_guarded([]() -> PyObject* {
    BREVANE_CHECK(1 + 1 == 3);
    return nullptr;
  });
}

PyObject* runtime_error(PyObject* /*module*/, PyObject* arg) noexcept {
  return brevane::call_guarded([arg]() -> PyObject* {
    const brevane::PyRef utf8 = brevane::PyRef::steal(PyUnicode_AsUTF8String(arg));
    if (!utf8) return nullptr;
    throw std::runtime_error(PyBytes_AsString(utf8.get()));
  });
}

PyObject* non_std_throw(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return brevane::call_guarded([]() -> PyObject* { throw 42; });
}

PyObject* bad_alloc(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return brevane::call_guarded([]() -> PyObject* { throw std::bad_alloc(); });
}

// A fault with an interpreter exception already pending: the panic replaces it.
PyObject* fault_over_pending_error(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return brevane::call_guarded([]() -> PyObject* {
    PyErr_SetString(PyExc_KeyError, "pending");
    throw std::logic_error("fault after a failed call");
  });
}

PyObject* ok(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return brevane::call_guarded([]() -> PyObject* { return PyLong_FromLong(7); });
}

std::array<PyMethodDef, 7> g_methods = {{
    {"broken_invariant", broken_invariant, METH_NOARGS, nullptr},
    {"runtime_error", runtime_error, METH_O, nullptr},
    {"non_std_throw", non_std_throw, METH_NOARGS, nullptr},
    {"bad_alloc", bad_alloc, METH_NOARGS, nullptr},
    {"fault_over_pending_error", fault_over_pending_error, METH_NOARGS, nullptr},
    {"ok", ok, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
}};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_brevane_fault_probe",
    nullptr,
    -1,
    g_methods.data(),
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The interpreter derives this name from the module name; it cannot follow ours.
// NOLINTNEXTLINE(bugprone-reserved-identifier, readability-identifier-naming)
PyMODINIT_FUNC PyInit__brevane_fault_probe(void) noexcept {
  return brevane::call_guarded([] { return PyModule_Create2(&g_definition, 3); });
}
