// The C ABI (include/brevane.h) over the same core operations as the C++ API.
// Each function checks its pointers, empties its outputs, runs one operation
// inside c_guarded and writes the result straight into the caller's structs or
// into one malloc'ed buffer: an edit's bytes are written once, where the caller
// will read them.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api/boundary.h"
#include "brevane.h"
#include "check.h"
#include "document/byte_sink.h"
#include "document/embed.h"
#include "document/extract.h"
#include "document/manifest_elements.h"
#include "document/remove.h"
#include "hardbinding/data_hash.h"
#include "scan/head_scanner.h"

namespace brevane {
namespace {

static_assert(BREVANE_NO_MANIFEST == static_cast<int>(ErrorKind::NoManifest));
static_assert(BREVANE_MULTIPLE_MANIFESTS == static_cast<int>(ErrorKind::MultipleManifests));
static_assert(BREVANE_MALFORMED == static_cast<int>(ErrorKind::Malformed));
static_assert(BREVANE_NO_HEAD == static_cast<int>(ErrorKind::NoHead));
static_assert(BREVANE_EXCLUSION_MALFORMED == static_cast<int>(ErrorKind::ExclusionMalformed));
static_assert(BREVANE_HASH_MISMATCH == static_cast<int>(ErrorKind::HashMismatch));
static_assert(BREVANE_UNSUPPORTED_ALGORITHM == static_cast<int>(ErrorKind::UnsupportedAlgorithm));
static_assert(BREVANE_INVALID_ARGUMENT == static_cast<int>(ErrorKind::InvalidArgument));
static_assert(BREVANE_OUT_OF_MEMORY == static_cast<int>(ErrorKind::OutOfMemory));
static_assert(BREVANE_INTERNAL_FAULT == static_cast<int>(ErrorKind::InternalFault));

// Exclusion lists this short, the usual case, are converted on the stack.
constexpr std::size_t kStackRanges = 8;

// A malloc'ed copy with a NUL after it, or nullptr.
char* owned_copy(std::string_view bytes) noexcept {
  auto* const data = static_cast<char*>(std::malloc(bytes.size() + 1));
  if (data == nullptr) return nullptr;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  data[bytes.size()] = '\0';
  return data;
}

brevane_owned_string owned_string(std::string_view bytes) {
  char* const data = owned_copy(bytes);
  if (data == nullptr) throw std::bad_alloc();
  return {data, bytes.size()};
}

// Where an edit writes its result: one malloc'ed buffer, handed to the caller
// as it is, or freed if the call fails after asking for it.
class MallocSink final : public ByteSink {
 public:
  MallocSink() = default;
  MallocSink(const MallocSink&) = delete;
  MallocSink& operator=(const MallocSink&) = delete;
  ~MallocSink() { std::free(data_); }

  char* allocate(std::uint64_t size) override {
    BREVANE_CHECK(data_ == nullptr);
    if (size >= std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    data_ = static_cast<char*>(std::malloc(static_cast<std::size_t>(size) + 1));
    if (data_ == nullptr) throw std::bad_alloc();
    data_[size] = '\0';
    size_ = static_cast<std::size_t>(size);
    return data_;
  }
  brevane_owned_string release() {
    BREVANE_CHECK(data_ != nullptr);
    return {std::exchange(data_, nullptr), size_};
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Writes the error, when the caller gave a place for it, and returns its code.
brevane_code fail(brevane_error* error, brevane_code code, std::string_view message,
                  std::string_view status_code) noexcept {
  if (error != nullptr) {
    char* const data = owned_copy(message);
    error->code = code;
    error->message = {data, data == nullptr ? 0 : message.size()};
    error->status_code = {status_code.data(), status_code.size()};
  }
  return code;
}

brevane_code fail(brevane_error* error, const Error& cause) noexcept {
  return fail(error, static_cast<brevane_code>(cause.kind()), cause.message(), cause.status_code());
}

brevane_code fail(brevane_error* error, const DocumentError& cause) {
  // Without a place for the message there is nothing to format.
  if (error == nullptr) return static_cast<brevane_code>(api::kind_of(cause.kind()));
  return fail(error, api::to_error(cause));
}

// Runs one function's body; whatever it throws becomes an error value. The
// body returns BREVANE_OK or what fail() returned.
template <class Body>
brevane_code c_guarded(brevane_error* error, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fail(error, api::current_fault());
  }
}

// A NULL pointer stands for no bytes, and only then.
bool readable(const void* data, std::size_t length) noexcept {
  return data != nullptr || length == 0;
}

std::string_view view(const char* data, std::size_t length) noexcept {
  return length == 0 ? std::string_view() : std::string_view(data, length);
}

brevane_code null_argument(brevane_error* error, std::string_view parameter) {
  return fail(error, api::invalid_argument(parameter, "NULL with a nonzero length"));
}

brevane_code null_output(brevane_error* error, std::string_view parameter) {
  return fail(error, api::invalid_argument(parameter, "NULL where a result is to be written"));
}

// The named algorithm, or the error already reported. NULL means the default.
std::optional<HashAlgorithm> algorithm(const char* alg, std::size_t alg_length,
                                       brevane_error* error, brevane_code& code) {
  if (alg == nullptr && alg_length == 0) return HashAlgorithm::Sha256;
  if (alg == nullptr) {
    code = null_argument(error, "alg");
    return std::nullopt;
  }
  const Result<HashAlgorithm> parsed = parse_hash_algorithm(view(alg, alg_length));
  if (!parsed.ok()) {
    code = fail(error, parsed.error());
    return std::nullopt;
  }
  return parsed.value();
}

void write_digest(std::string_view bytes, brevane_digest& digest) {
  BREVANE_CHECK(bytes.size() <= sizeof digest.bytes);
  std::memcpy(digest.bytes, bytes.data(), bytes.size());
  digest.length = bytes.size();
}

// The frame of every edit: the output emptied, the document checked, then
// `edit` (its own arguments checked first) writes into one malloc'ed buffer
// that becomes the caller's only on success.
template <class Edit>
brevane_code edit_document(const char* html, std::size_t html_length,
                           brevane_owned_string* document, brevane_error* error,
                           Edit&& edit) noexcept {
  return c_guarded(error, [&]() -> brevane_code {
    if (document == nullptr) return null_output(error, "document");
    *document = {nullptr, 0};
    if (!readable(html, html_length)) return null_argument(error, "html");
    MallocSink sink;
    const brevane_code code = edit(view(html, html_length), sink);
    if (code != BREVANE_OK) return code;
    *document = sink.release();
    return BREVANE_OK;
  });
}

}  // namespace
}  // namespace brevane

using brevane::c_guarded;
using brevane::null_argument;
using brevane::null_output;
using brevane::readable;
using brevane::view;

extern "C" {

const char* brevane_version(void) noexcept { return BREVANE_VERSION; }

void brevane_free(brevane_owned_string owned) noexcept { std::free(owned.data); }

brevane_code brevane_locate_all(const char* html, size_t html_length, brevane_range* ranges,
                                size_t capacity, size_t* count, brevane_error* error) noexcept {
  return c_guarded(error, [&]() -> brevane_code {
    if (count == nullptr) return null_output(error, "count");
    *count = 0;
    if (!readable(html, html_length)) return null_argument(error, "html");
    if (ranges == nullptr && capacity != 0) return null_argument(error, "ranges");
    const std::vector<brevane::ManifestElement> elements =
        brevane::locate_manifest_elements(view(html, html_length));
    const std::size_t written = std::min(capacity, elements.size());
    for (std::size_t i = 0; i < written; ++i) {
      ranges[i] = {elements[i].range.start, elements[i].range.length};
    }
    *count = elements.size();
    if (elements.size() > capacity) {
      const std::string message = "buffer too small: " + std::to_string(*count) +
                                  " manifest elements found, room for " + std::to_string(capacity);
      return brevane::fail(error, BREVANE_BUFFER_TOO_SMALL, message, {});
    }
    return BREVANE_OK;
  });
}

brevane_code brevane_extract(const char* html, size_t html_length, brevane_association* association,
                             brevane_error* error) noexcept {
  return c_guarded(error, [&]() -> brevane_code {
    if (association == nullptr) return null_output(error, "association");
    *association = {BREVANE_KIND_NONE, {0, 0}, {nullptr, 0}};
    if (!readable(html, html_length)) return null_argument(error, "html");
    const brevane::Result<brevane::ManifestAssociation> found =
        brevane::extract_association(view(html, html_length));
    if (!found.ok()) {
      // A page without a manifest is an answer, not an error, as in the module.
      if (found.error().kind() == brevane::DocumentErrorKind::NoManifest) return BREVANE_OK;
      return brevane::fail(error, found.error());
    }
    const brevane::ManifestAssociation& value = found.value();
    const bool embedded = value.kind == brevane::ElementKind::Embedded;
    association->payload = brevane::owned_string(embedded ? value.store : value.href);
    association->kind = embedded ? BREVANE_KIND_EMBEDDED : BREVANE_KIND_REFERENCED;
    association->range = {value.start, value.length};
    return BREVANE_OK;
  });
}

brevane_code brevane_remove(const char* html, size_t html_length, brevane_owned_string* document,
                            brevane_error* error) noexcept {
  return brevane::edit_document(html, html_length, document, error,
                                [&](std::string_view page, brevane::MallocSink& sink) {
                                  brevane::remove_into(page, sink);
                                  return BREVANE_OK;
                                });
}

brevane_code brevane_embed(const char* html, size_t html_length, const char* store,
                           size_t store_length, brevane_owned_string* document,
                           brevane_error* error) noexcept {
  return brevane::edit_document(
      html, html_length, document, error,
      [&](std::string_view page, brevane::MallocSink& sink) -> brevane_code {
        if (!readable(store, store_length)) return null_argument(error, "store");
        const auto failure = brevane::embed_into(page, view(store, store_length), sink);
        return failure ? brevane::fail(error, *failure) : BREVANE_OK;
      });
}

brevane_code brevane_embed_reference(const char* html, size_t html_length, const char* href,
                                     size_t href_length, brevane_owned_string* document,
                                     brevane_error* error) noexcept {
  return brevane::edit_document(
      html, html_length, document, error,
      [&](std::string_view page, brevane::MallocSink& sink) -> brevane_code {
        if (!readable(href, href_length)) return null_argument(error, "href");
        const std::string_view text = view(href, href_length);
        if (!brevane::is_utf8(text)) {
          return brevane::fail(error, brevane::api::invalid_argument("href", "not valid UTF-8"));
        }
        const auto failure = brevane::embed_reference_into(page, text, sink);
        return failure ? brevane::fail(error, *failure) : BREVANE_OK;
      });
}

brevane_code brevane_compute_data_hash(const char* html, size_t html_length, const char* alg,
                                       size_t alg_length, brevane_binding* binding,
                                       brevane_error* error) noexcept {
  return c_guarded(error, [&]() -> brevane_code {
    if (binding == nullptr) return null_output(error, "binding");
    *binding = {};
    if (!readable(html, html_length)) return null_argument(error, "html");
    brevane_code code = BREVANE_OK;
    const auto parsed = brevane::algorithm(alg, alg_length, error, code);
    if (!parsed) return code;
    const brevane::Result<brevane::OwnedDataHashBinding> computed =
        brevane::compute_data_hash(view(html, html_length), *parsed);
    if (!computed.ok()) return brevane::fail(error, computed.error());
    const brevane::OwnedDataHashBinding& value = computed.value();
    // A page's own binding excludes its one inline element or nothing.
    BREVANE_CHECK(value.exclusions.size() <= std::size(binding->exclusions));
    const std::string_view name = brevane::hash_algorithm_name(value.alg);
    binding->alg = {name.data(), name.size()};
    brevane::write_digest(value.hash, binding->hash);
    for (std::size_t i = 0; i < value.exclusions.size(); ++i) {
      binding->exclusions[i] = {value.exclusions[i].start, value.exclusions[i].length};
    }
    binding->exclusion_count = value.exclusions.size();
    return BREVANE_OK;
  });
}

brevane_code brevane_verify_data_hash(const char* html, size_t html_length,
                                      const unsigned char* hash, size_t hash_length,
                                      const brevane_range* exclusions, size_t exclusion_count,
                                      const char* alg, size_t alg_length,
                                      brevane_error* error) noexcept {
  return c_guarded(error, [&]() -> brevane_code {
    if (!readable(html, html_length)) return null_argument(error, "html");
    if (!readable(hash, hash_length)) return null_argument(error, "hash");
    if (!readable(exclusions, exclusion_count)) return null_argument(error, "exclusions");
    brevane_code code = BREVANE_OK;
    const auto parsed = brevane::algorithm(alg, alg_length, error, code);
    if (!parsed) return code;
    // The caller's ranges as the core's type: on the stack for short lists.
    std::array<brevane::ByteRange, brevane::kStackRanges> stack{};
    std::vector<brevane::ByteRange> heap;
    std::span<brevane::ByteRange> list(stack.data(), exclusion_count);
    if (exclusion_count > stack.size()) {
      if (exclusion_count > heap.max_size()) throw std::bad_alloc();
      heap.resize(exclusion_count);
      list = heap;
    }
    for (std::size_t i = 0; i < exclusion_count; ++i) {
      list[i] = {exclusions[i].start, exclusions[i].length};
    }
    const std::string_view digest =
        hash_length == 0 ? std::string_view()
                         : std::string_view(reinterpret_cast<const char*>(hash), hash_length);
    const auto failure = brevane::verify_data_hash(view(html, html_length),
                                                   brevane::DataHashBinding{*parsed, digest, list});
    if (failure) return brevane::fail(error, *failure);
    return BREVANE_OK;
  });
}

brevane_code brevane_inline_hash_before_embed(const char* html, size_t html_length, const char* alg,
                                              size_t alg_length, brevane_digest* digest,
                                              brevane_error* error) noexcept {
  return c_guarded(error, [&]() -> brevane_code {
    if (digest == nullptr) return null_output(error, "digest");
    *digest = {};
    if (!readable(html, html_length)) return null_argument(error, "html");
    brevane_code code = BREVANE_OK;
    const auto parsed = brevane::algorithm(alg, alg_length, error, code);
    if (!parsed) return code;
    brevane::write_digest(brevane::inline_hash_before_embed(view(html, html_length), *parsed),
                          *digest);
    return BREVANE_OK;
  });
}

}  // extern "C"
