// The eight entry points of the module, one per host function. Each has the
// METH_VARARGS | METH_KEYWORDS signature and runs its body inside the call
// frame: bind, convert, one core operation, convert the outcome back.
#pragma once

#include <Python.h>

namespace brevane {

PyObject* py_embed(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* py_embed_reference(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* py_extract(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* py_remove(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* py_locate_all(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* py_compute_data_hash(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* py_verify_data_hash(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;
PyObject* py_inline_hash_before_embed(PyObject* module, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace brevane
