// The module object: its definition, its one exported initialisation function
// and the order in which it is filled. The module is created once per process
// and lives until the process ends; nothing is ever torn down.
#include <Python.h>

#include <array>
#include <memory>

#include "check.h"
#include "document/manifest_elements.h"
#include "module/frame.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace brevane {
namespace {

struct FunctionEntry {
  const char* name;
  PyCFunctionWithKeywords entry;
  // "name(sig)\n--\n\n" first, so the interpreter splits off __text_signature__.
  const char* doc;
};

constexpr std::array<FunctionEntry, 8> kFunctions = {{
    {"embed", py_embed,
     "embed(html, store)\n--\n\n"
     "Embed a Manifest Store inline, as a `script` element in the document head."},
    {"embed_reference", py_embed_reference,
     "embed_reference(html, href)\n--\n\n"
     "Reference an external Manifest Store, as a `link` element in the head."},
    {"extract", py_extract,
     "extract(html)\n--\n\n"
     "The document's manifest association, or `None` when it carries none.\n"
     "\n"
     "Returns a dict with `kind` (`\"embedded\"` or `\"referenced\"`), `start`,\n"
     "`length`, and either `store` (bytes) or `href` (str)."},
    {"remove", py_remove,
     "remove(html)\n--\n\n"
     "Remove every C2PA manifest element from the document."},
    {"locate_all", py_locate_all,
     "locate_all(html)\n--\n\n"
     "The `(start, length)` byte ranges of every C2PA manifest element in the head.\n"
     "\n"
     "More than one means the document is rejected; this is exposed so a caller\n"
     "can report how many were found."},
    {"compute_data_hash", py_compute_data_hash,
     "compute_data_hash(html, alg=\"sha256\")\n--\n\n"
     "Compute the `c2pa.hash.data` binding for a document that already carries a\n"
     "manifest.\n"
     "\n"
     "`alg` is one of `sha256`, `sha384`, `sha512`. Returns a dict with `alg`,\n"
     "`hash` (bytes), and `exclusions` (a list of `(start, length)`)."},
    {"verify_data_hash", py_verify_data_hash,
     "verify_data_hash(html, hash, exclusions, alg=\"sha256\")\n--\n\n"
     "Verify a `c2pa.hash.data` binding against a document.\n"
     "\n"
     "Raises `ValueError` carrying the status code on mismatch or a malformed\n"
     "exclusion; returns `None` on success."},
    {"inline_hash_before_embed", py_inline_hash_before_embed,
     "inline_hash_before_embed(html, alg=\"sha256\")\n--\n\n"
     "The hash an inline binding will have once a manifest is embedded, computed\n"
     "before the manifest exists.\n"
     "\n"
     "Because the exclusion covers the whole `script` element and embedding adds\n"
     "no bytes outside it, the covered bytes are the document as it stands. This\n"
     "is what makes the order hash, sign, embed possible."},
}};

struct ConstantEntry {
  const char* name;
  const char* value;
};

constexpr std::array<ConstantEntry, 3> kConstants = {{
    {"SCRIPT_TYPE", kScriptType.data()},  // what location looks for and embedding writes
    {"LINK_REL", kLinkRel.data()},
    {"__version__", BREVANE_VERSION},  // from pyproject.toml, through the build
}};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "brevane",
    "",  // so that __doc__ is "", not None
    0,   // no per-module state: a second import runs PyInit_brevane again
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Written once, under the interpreter lock, on the first successful
// initialisation; its reference keeps the module alive until the process ends.
PyObject* g_module = nullptr;

// The module's __all__, created empty when the module has none yet.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return {};
    return all;
  }
  if (!PyList_Check(all.get())) {
    raise_with_message(PyExc_TypeError,
                       "'__all__' of the module is not a list and cannot be extended");
    return {};
  }
  return all;
}

// Records `name` in __all__, then sets the attribute. The name object is the
// one the caller read back, so __all__ and the attribute agree by construction.
bool add_public(PyObject* module, PyObject* name, PyObject* value) {
  const PyRef all = all_list(module);
  if (!all) return false;
  // Appending to a list we just fetched cannot fail short of a broken runtime.
  BREVANE_CHECK(PyList_Append(all.get(), name) == 0);
  return PyObject_SetAttr(module, name, value) == 0;
}

bool add_function(PyObject* module, PyObject* module_name, const FunctionEntry& entry) {
  // The function object refers to its definition for as long as the process
  // lives, so the record is allocated here and never released.
  auto definition = std::make_unique<PyMethodDef>();
  definition->ml_name = entry.name;
  definition->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry.entry));
  definition->ml_flags = METH_VARARGS | METH_KEYWORDS;
  definition->ml_doc = entry.doc;
  PyRef function = PyRef::steal(PyCMethod_New(definition.get(), module, module_name, nullptr));
  if (!function) return false;
  static_cast<void>(definition.release());
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    raise_with_message(PyExc_TypeError, "a function's __name__ is not a str");
    return false;
  }
  return add_public(module, name.get(), function.get());
}

bool add_constant(PyObject* module, const ConstantEntry& entry) {
  const PyRef name = PyRef::steal(PyUnicode_FromString(entry.name));
  if (!name) return false;
  const PyRef value = PyRef::steal(PyUnicode_FromString(entry.value));
  if (!value) return false;
  return add_public(module, name.get(), value.get());
}

bool fill(PyObject* module) {
  const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (const FunctionEntry& entry : kFunctions) {
    if (!add_function(module, module_name.get(), entry)) return false;
  }
  for (const ConstantEntry& entry : kConstants) {
    if (!add_constant(module, entry)) return false;
  }
  return true;
}

PyObject* initialise() {
  if (g_module != nullptr) {
    // Sub-interpreters and re-imports after removal from sys.modules both end
    // here: the one module object of the process stays as it is.
    return raise_with_message(PyExc_ImportError,
                              "brevane may only be initialized once per interpreter process");
  }
  PyRef module = PyRef::steal(PyModule_Create2(&g_definition, 3));
  if (!module) return nullptr;
  // On failure the holder releases the partial module and the cache stays empty.
  if (!fill(module.get())) return nullptr;
  g_module = new_ref(module.get());
  return module.release();
}

}  // namespace
}  // namespace brevane

PyMODINIT_FUNC PyInit_brevane(void) noexcept {
  return brevane::call_guarded([] { return brevane::initialise(); });
}
