// The bodies of the eight module functions. Each converts every argument
// before anything is judged (so a wrong type is reported ahead of a bad
// algorithm name), parses `alg` before the document is looked at, and runs
// exactly one core operation.
#include "module/functions.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "document/embed.h"
#include "document/extract.h"
#include "document/manifest_elements.h"
#include "document/remove.h"
#include "hardbinding/data_hash.h"
#include "module/binding.h"
#include "module/convert.h"
#include "module/frame.h"
#include "module/py_ref.h"

namespace brevane {
namespace {

constexpr std::string_view kDefaultAlg = "sha256";

constexpr std::array<const char*, 2> kHtmlStore = {"html", "store"};
constexpr std::array<const char*, 2> kHtmlHref = {"html", "href"};
constexpr std::array<const char*, 1> kHtml = {"html"};
constexpr std::array<const char*, 2> kHtmlAlg = {"html", "alg"};
constexpr std::array<const char*, 4> kVerify = {"html", "hash", "exclusions", "alg"};

constexpr Signature kEmbed{"embed()", kHtmlStore, 2};
constexpr Signature kEmbedReference{"embed_reference()", kHtmlHref, 2};
constexpr Signature kExtract{"extract()", kHtml, 1};
constexpr Signature kRemove{"remove()", kHtml, 1};
constexpr Signature kLocateAll{"locate_all()", kHtml, 1};
constexpr Signature kComputeDataHash{"compute_data_hash()", kHtmlAlg, 1};
constexpr Signature kVerifyDataHash{"verify_data_hash()", kVerify, 3};
constexpr Signature kInlineHashBeforeEmbed{"inline_hash_before_embed()", kHtmlAlg, 1};

// The converted `alg`, or the default when the caller omitted it (and only
// then: an explicit None is a wrong type like any other).
std::optional<std::string> alg_argument(PyObject* arg) {
  if (arg == nullptr) return std::string(kDefaultAlg);
  return str_argument(arg, "alg");
}

// `alg` converted, then judged. It is the last parameter of every function
// that has it, so the name is parsed only once every argument has converted,
// and before the document is looked at.
std::optional<HashAlgorithm> alg_parameter(PyObject* arg) {
  const auto name = alg_argument(arg);
  if (!name) return std::nullopt;
  const auto alg = parse_hash_algorithm(*name);
  if (!alg.ok()) {
    raise_document_error(alg.error());
    return std::nullopt;
  }
  return alg.value();
}

// A result key: the same few words on every call, so each is made and
// interned once (under the interpreter lock) and kept for the life of the
// process, like the module itself. The host's dict then hashes nothing.
class ResultKey {
 public:
  explicit constexpr ResultKey(const char* text) noexcept : text_(text) {}
  PyObject* get() noexcept {
    if (object_ == nullptr) object_ = PyUnicode_InternFromString(text_);
    return object_;
  }

 private:
  const char* text_;
  PyObject* object_ = nullptr;
};

ResultKey g_start_key("start");
ResultKey g_length_key("length");
ResultKey g_kind_key("kind");
ResultKey g_store_key("store");
ResultKey g_href_key("href");
ResultKey g_alg_key("alg");
ResultKey g_hash_key("hash");
ResultKey g_exclusions_key("exclusions");

// Sets a dict item, releasing the value.
bool set_item(PyObject* dict, ResultKey& key, PyRef value) {
  PyObject* const key_object = key.get();
  return value && key_object != nullptr && PyDict_SetItem(dict, key_object, value.get()) == 0;
}

PyObject* association_dict(const ManifestAssociation& association) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const bool embedded = association.kind == ElementKind::Embedded;
  // Insertion order is the order the host iterates the keys in.
  if (!set_item(dict.get(), g_start_key,
                PyRef::steal(PyLong_FromUnsignedLongLong(association.start))) ||
      !set_item(dict.get(), g_length_key,
                PyRef::steal(PyLong_FromUnsignedLongLong(association.length))) ||
      !set_item(dict.get(), g_kind_key, new_str(embedded ? "embedded" : "referenced"))) {
    return nullptr;
  }
  const bool payload_set = embedded
                               ? set_item(dict.get(), g_store_key, new_bytes(association.store))
                               : set_item(dict.get(), g_href_key, new_str(association.href));
  if (!payload_set) return nullptr;
  return dict.release();
}

PyObject* binding_dict(const OwnedDataHashBinding& binding) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), g_alg_key, new_str(hash_algorithm_name(binding.alg))) ||
      !set_item(dict.get(), g_hash_key, new_bytes(binding.hash)) ||
      !set_item(dict.get(), g_exclusions_key, range_list(binding.exclusions))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* py_embed(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::array<PyRef, 2> slots;
    if (!bind_arguments(kEmbed, args, kwargs, slots)) return nullptr;
    const auto html = bytes_argument(slots[0].get(), "html");
    if (!html) return nullptr;
    const auto store = bytes_argument(slots[1].get(), "store");
    if (!store) return nullptr;
    PyBytesSink sink;
    if (const auto error = embed_into(*html, *store, sink)) return raise_document_error(*error);
    return sink.release();
  });
}

PyObject* py_embed_reference(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::array<PyRef, 2> slots;
    if (!bind_arguments(kEmbedReference, args, kwargs, slots)) return nullptr;
    const auto html = bytes_argument(slots[0].get(), "html");
    if (!html) return nullptr;
    const auto href = str_argument(slots[1].get(), "href");
    if (!href) return nullptr;
    PyBytesSink sink;
    if (const auto error = embed_reference_into(*html, *href, sink)) {
      return raise_document_error(*error);
    }
    return sink.release();
  });
}

PyObject* py_extract(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::array<PyRef, 1> slots;
    if (!bind_arguments(kExtract, args, kwargs, slots)) return nullptr;
    const auto html = bytes_argument(slots[0].get(), "html");
    if (!html) return nullptr;
    const auto association = brevane::extract_association(*html);
    if (!association.ok()) {
      // A document without a manifest is an answer, not an error, for the host.
      if (association.error().kind() == DocumentErrorKind::NoManifest) return new_ref(Py_None);
      return raise_document_error(association.error());
    }
    return association_dict(association.value());
  });
}

PyObject* py_remove(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::array<PyRef, 1> slots;
    if (!bind_arguments(kRemove, args, kwargs, slots)) return nullptr;
    const auto html = bytes_argument(slots[0].get(), "html");
    if (!html) return nullptr;
    PyBytesSink sink;
    remove_into(*html, sink);
    return sink.release();
  });
}

PyObject* py_locate_all(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::array<PyRef, 1> slots;
    if (!bind_arguments(kLocateAll, args, kwargs, slots)) return nullptr;
    const auto html = bytes_argument(slots[0].get(), "html");
    if (!html) return nullptr;
    const std::vector<ManifestElement> elements = locate_manifest_elements(*html);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const ManifestElement& element : elements) {
      PyRef tuple = range_tuple(element.range);
      if (!tuple || PyList_SetItem(list.get(), i++, tuple.release()) != 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* py_compute_data_hash(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::array<PyRef, 2> slots;
    if (!bind_arguments(kComputeDataHash, args, kwargs, slots)) return nullptr;
    const auto html = bytes_argument(slots[0].get(), "html");
    if (!html) return nullptr;
    const auto alg = alg_parameter(slots[1].get());
    if (!alg) return nullptr;
    const auto binding = compute_data_hash(*html, *alg);
    if (!binding.ok()) return raise_document_error(binding.error());
    return binding_dict(binding.value());
  });
}

PyObject* py_verify_data_hash(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::array<PyRef, 4> slots;
    if (!bind_arguments(kVerifyDataHash, args, kwargs, slots)) return nullptr;
    const auto html = bytes_argument(slots[0].get(), "html");
    if (!html) return nullptr;
    const auto hash = bytes_argument(slots[1].get(), "hash");
    if (!hash) return nullptr;
    const auto exclusions = exclusions_argument(slots[2].get(), "exclusions");
    if (!exclusions) return nullptr;
    const auto alg = alg_parameter(slots[3].get());
    if (!alg) return nullptr;
    const DataHashBinding binding{*alg, *hash, *exclusions};
    if (const auto error = verify_data_hash(*html, binding)) return raise_document_error(*error);
    return new_ref(Py_None);
  });
}

PyObject* py_inline_hash_before_embed(PyObject* /*module*/, PyObject* args,
                                      PyObject* kwargs) noexcept {
  return call_guarded([&]() -> PyObject* {
    std::array<PyRef, 2> slots;
    if (!bind_arguments(kInlineHashBeforeEmbed, args, kwargs, slots)) return nullptr;
    const auto html = bytes_argument(slots[0].get(), "html");
    if (!html) return nullptr;
    const auto alg = alg_parameter(slots[1].get());
    if (!alg) return nullptr;
    return new_bytes(inline_hash_before_embed(*html, *alg)).release();
  });
}

}  // namespace brevane
