// PyRef: the one holder of an owned reference at the module boundary. Every
// strong reference the module takes lives in one, so each early return on a
// failed interpreter call releases what was taken so far.
#pragma once

#include <Python.h>

#include <utility>

namespace brevane {

// Py_NewRef is only in the stable ABI from 3.10 on; this is our 3.9 spelling.
inline PyObject* new_ref(PyObject* o) noexcept {
  Py_INCREF(o);
  return o;
}

class PyRef {  // owns one strong reference or nothing; move-only
 public:
  static PyRef steal(PyObject* o) noexcept {
    PyRef r;
    r.p_ = o;
    return r;
  }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return steal(o);
  }

  PyRef() = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  [[nodiscard]] explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (usually the interpreter, as a result).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace brevane
