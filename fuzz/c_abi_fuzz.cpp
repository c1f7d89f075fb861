// The C ABI against the C++ API on any bytes: the two entry points of each
// operation give the same answer (the C ABI writes into caller structs and
// malloc'ed strings, the C++ API into values), errors carry the same code and
// text, owned strings end in a NUL, and a size query counts what a full buffer
// receives. Input as association_fuzz reads it: the first byte says how many of
// the last bytes are the payload (store, href, and the seed of an exclusion
// list); the bytes between are the document.
#include <array>
#include <brevane.h>
#include <brevane/brevane.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

std::string_view owned_view(const brevane_owned_string& owned) {
  require(owned.data != nullptr && owned.data[owned.length] == '\0');
  return {owned.data, owned.length};
}

// A failed C call against the C++ error: same code, same text; then freed.
void require_same_error(brevane_code code, brevane_error& error, const brevane::Error& expected) {
  require(code == static_cast<int>(expected.kind()) && error.code == code);
  require(owned_view(error.message) == expected.message());
  require(std::string_view(error.status_code.data, error.status_code.length) ==
          expected.status_code());
  brevane_free(error.message);
  error = {};
}

void require_same_edit(brevane_code code, brevane_owned_string& document, brevane_error& error,
                       const brevane::Expected<std::string>& expected) {
  if (!expected) {
    require(document.data == nullptr && document.length == 0);
    require_same_error(code, error, expected.error());
    return;
  }
  require(code == BREVANE_OK && owned_view(document) == *expected);
  brevane_free(document);
}

void check_locate(std::string_view html) {
  const auto expected = brevane::locate_all(html);
  require(expected.has_value());
  std::size_t queried = 0;
  const brevane_code query =
      brevane_locate_all(html.data(), html.size(), nullptr, 0, &queried, nullptr);
  require(queried == expected->size());
  require(query == (queried == 0 ? BREVANE_OK : BREVANE_BUFFER_TOO_SMALL));
  std::vector<brevane_range> ranges(queried + 1);
  std::size_t count = 0;
  require(brevane_locate_all(html.data(), html.size(), ranges.data(), ranges.size(), &count,
                             nullptr) == BREVANE_OK);
  require(count == queried);
  for (std::size_t i = 0; i < count; ++i) {
    require(ranges[i].start == (*expected)[i].start && ranges[i].length == (*expected)[i].length);
  }
}

void check_extract(std::string_view html) {
  const auto expected = brevane::extract(html);
  brevane_association association;
  brevane_error error{};
  const brevane_code code = brevane_extract(html.data(), html.size(), &association, &error);
  if (!expected) {
    require(association.kind == BREVANE_KIND_NONE && association.payload.data == nullptr);
    require_same_error(code, error, expected.error());
    return;
  }
  require(code == BREVANE_OK);
  if (!expected->has_value()) {
    require(association.kind == BREVANE_KIND_NONE && association.payload.data == nullptr);
    return;
  }
  const brevane::ManifestAssociation& value = **expected;
  const bool embedded = value.kind == brevane::ElementKind::Embedded;
  require(association.kind == (embedded ? BREVANE_KIND_EMBEDDED : BREVANE_KIND_REFERENCED));
  require(association.range.start == value.start && association.range.length == value.length);
  require(owned_view(association.payload) == (embedded ? value.store : value.href));
  brevane_free(association.payload);
}

void check_edits(std::string_view html, std::string_view payload) {
  brevane_owned_string document;
  brevane_error error{};
  brevane_code code = brevane_remove(html.data(), html.size(), &document, &error);
  require_same_edit(code, document, error, brevane::remove(html));
  code = brevane_embed(html.data(), html.size(), payload.data(), payload.size(), &document, &error);
  require_same_edit(code, document, error, brevane::embed(html, payload));
  // The href is any bytes here: both refuse the same ones (not UTF-8).
  code = brevane_embed_reference(html.data(), html.size(), payload.data(), payload.size(),
                                 &document, &error);
  require_same_edit(code, document, error, brevane::embed_reference(html, payload));
}

void check_hashes(std::string_view html, std::string_view payload) {
  static constexpr std::array<std::string_view, 4> kAlgs = {"sha256", "sha384", "sha512", "md5"};
  const std::string_view alg = kAlgs[payload.empty() ? 0 : payload[0] & 3];

  const auto expected = brevane::compute_data_hash(html, alg);
  brevane_binding binding;
  brevane_error error{};
  const brevane_code code =
      brevane_compute_data_hash(html.data(), html.size(), alg.data(), alg.size(), &binding, &error);
  std::vector<brevane::ByteRange> exclusions;
  std::string hash;
  if (!expected) {
    require(binding.hash.length == 0 && binding.exclusion_count == 0);
    require_same_error(code, error, expected.error());
  } else {
    require(code == BREVANE_OK);
    require(std::string_view(binding.alg.data, binding.alg.length) == expected->alg);
    hash.assign(reinterpret_cast<const char*>(binding.hash.bytes), binding.hash.length);
    require(hash == expected->hash && binding.exclusion_count == expected->exclusions.size());
    exclusions = expected->exclusions;
  }

  // A caller's list: the binding's own, then ranges drawn from the payload.
  for (std::size_t i = 1; i + 1 < payload.size() && exclusions.size() < 12; i += 2) {
    exclusions.push_back({static_cast<unsigned char>(payload[i]) * html.size() / 256,
                          static_cast<unsigned char>(payload[i + 1])});
  }
  if (payload.size() % 3 == 0) hash = std::string(payload.substr(0, 4));
  std::vector<brevane_range> ranges;
  for (const brevane::ByteRange& r : exclusions) ranges.push_back({r.start, r.length});
  const auto verdict = brevane::verify_data_hash(html, hash, exclusions, alg);
  const brevane_code verified = brevane_verify_data_hash(
      html.data(), html.size(), reinterpret_cast<const unsigned char*>(hash.data()), hash.size(),
      ranges.data(), ranges.size(), alg.data(), alg.size(), &error);
  if (verdict) {
    require_same_error(verified, error, *verdict);
  } else {
    require(verified == BREVANE_OK);
  }

  const auto predicted = brevane::inline_hash_before_embed(html, alg);
  brevane_digest digest;
  const brevane_code code_predicted = brevane_inline_hash_before_embed(
      html.data(), html.size(), alg.data(), alg.size(), &digest, &error);
  if (!predicted) {
    require_same_error(code_predicted, error, predicted.error());
  } else {
    require(code_predicted == BREVANE_OK &&
            std::string_view(reinterpret_cast<const char*>(digest.bytes), digest.length) ==
                *predicted);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(  // NOLINT(readability-identifier-naming)
    const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t payload_size = std::min<std::size_t>(data[0], input.size());
  const std::string_view html = input.substr(0, input.size() - payload_size);
  const std::string_view payload = input.substr(input.size() - payload_size);

  check_locate(html);
  check_extract(html);
  check_edits(html, payload);
  check_hashes(html, payload);
  return 0;
}
