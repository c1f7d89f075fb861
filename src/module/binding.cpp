// The binder: positional slots first, then keywords in the dictionary's own
// order, then the missing required parameters. The first failure wins.
#include "module/binding.h"

#include <array>
#include <string>

#include "check.h"
#include "module/frame.h"
#include "module/py_ref.h"

namespace brevane {
namespace {

PyObject* raise_type_error(const std::string& message) {
  return raise_with_message(PyExc_TypeError, message);
}

PyObject* raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  std::string message(sig.display_name);
  if (sig.required == sig.parameters.size()) {
    message.append(" takes ").append(std::to_string(sig.parameters.size()));
  } else {
    message.append(" takes from ")
        .append(std::to_string(sig.required))
        .append(" to ")
        .append(std::to_string(sig.parameters.size()));
  }
  // "positional arguments" stays plural even for a one-parameter function, as
  // in the interpreter's own message.
  message.append(" positional arguments but ")
      .append(std::to_string(given))
      .append(given == 1 ? " was" : " were")
      .append(" given");
  return raise_type_error(message);
}

PyObject* raise_unexpected_keyword(const Signature& sig, PyObject* key) {
  // The name as str() renders it: a non-str key or a str subclass with its own
  // __str__ is shown the way the host would show it, lone surrogates included,
  // so the text is assembled as a str object rather than as UTF-8.
  PyRef shown = PyRef::steal(PyObject_Str(key));
  if (!shown) return nullptr;
  return raise_with_message(PyExc_TypeError, PyRef::steal(PyUnicode_FromFormat(
                                                 "%s got an unexpected keyword argument '%U'",
                                                 sig.display_name, shown.get())));
}

PyObject* raise_multiple_values(const Signature& sig, const char* parameter) {
  return raise_type_error(std::string(sig.display_name)
                              .append(" got multiple values for argument '")
                              .append(parameter)
                              .append("'"));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        text.append(" and ");
      } else if (i + 1 == names.size()) {
        text.append(", and ");
      } else {
        text.append(", ");
      }
    }
    text.append("'").append(names[i]).append("'");
  }
  return text;
}

PyObject* raise_missing(const Signature& sig, std::span<const PyRef> slots) {
  constexpr std::size_t kMaxParameters = 8;
  BREVANE_CHECK(sig.required <= kMaxParameters);
  std::array<const char*, kMaxParameters> missing{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (!slots[i]) missing[count++] = sig.parameters[i];
  }
  return raise_type_error(std::string(sig.display_name)
                              .append(" missing ")
                              .append(std::to_string(count))
                              .append(" required positional ")
                              .append(count == 1 ? "argument" : "arguments")
                              .append(": ")
                              .append(quoted_list(std::span(missing.data(), count))));
}

// The parameter index of an exact (case-sensitive) name match, or -1. Compares
// in place, without encoding the key or creating any object.
Py_ssize_t parameter_index(const Signature& sig, PyObject* key) noexcept {
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.parameters[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                    std::span<PyRef> slots) {
  BREVANE_CHECK(slots.size() == sig.parameters.size());
  BREVANE_CHECK(sig.required <= sig.parameters.size());
  for (PyRef& slot : slots) slot = PyRef();

  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return false;
  const auto capacity = static_cast<Py_ssize_t>(slots.size());
  // Too many positional arguments is judged before any keyword is looked at.
  if (given > capacity) {
    raise_too_many_positional(sig, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) {
    slots[static_cast<std::size_t>(i)] = PyRef::borrow(PyTuple_GetItem(args, i));
  }

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      const Py_ssize_t index = parameter_index(sig, key);
      if (index < 0) {
        raise_unexpected_keyword(sig, key);
        return false;
      }
      PyRef& slot = slots[static_cast<std::size_t>(index)];
      if (slot) {
        raise_multiple_values(sig, sig.parameters[static_cast<std::size_t>(index)]);
        return false;
      }
      slot = PyRef::borrow(value);
    }
  }

  if (given < static_cast<Py_ssize_t>(sig.required)) {
    for (std::size_t i = 0; i < sig.required; ++i) {
      if (!slots[i]) {
        raise_missing(sig, slots);
        return false;
      }
    }
  }
  return true;
}

}  // namespace brevane
