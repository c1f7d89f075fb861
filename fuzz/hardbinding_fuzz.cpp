// Holds the hard binding to plain readings on arbitrary documents, algorithm
// names and exclusion lists: compute_data_hash agrees with check_association,
// verify_data_hash with the step-by-step reference below, hashed_content's
// verdict with reference_content (the checks of exclusions_valid in
// data_hash.cpp, written with wrap-around), digest with the digest of the bytes
// gathered by tests/support, and inline_hash_before_embed with a digest of the
// whole input.
//
// Input: [selector][name length + name bytes, when the selector asks for a
// random name][entry count][3 bytes per entry][document...]
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/extract.h"
#include "hardbinding/data_hash.h"
#include "support/reference.h"

namespace {

using brevane::ByteRange;
using brevane::DocumentError;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::array<std::string_view, 3> kNames = {"sha256", "sha384", "sha512"};

void require(bool condition) {
  if (!condition) std::abort();
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  std::uint8_t byte() {
    if (bytes_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(bytes_.front());
    bytes_.remove_prefix(1);
    return b;
  }
  std::string_view take(std::size_t n) {
    const std::string_view part = bytes_.substr(0, n);
    bytes_.remove_prefix(part.size());
    return part;
  }
  [[nodiscard]] std::string_view rest() const { return bytes_; }

 private:
  std::string_view bytes_;
};

// Three bytes per entry; most land near the previous end so that valid lists
// are common, some hit the element's exact range, some the top of the range.
struct EntryCode {
  std::uint8_t mode, a, b;
};

ByteRange decode(const EntryCode& code, std::uint64_t previous_end, std::uint64_t size,
                 const std::optional<ByteRange>& element) {
  switch (code.mode % 6) {
    case 0:
    case 1:
      return {previous_end + code.a % 16U, static_cast<std::uint64_t>(code.b % 64U)};
    case 2:
      return {code.a * size / 256U, code.b * size / 256U};
    case 3:
      return element ? *element : ByteRange{code.a, code.b};
    case 4:
      return {kMax - code.a, code.b};
    default:
      return {code.a, kMax - code.b};
  }
}

// Overflow, order and the document's end as exclusions_valid judges them, with
// the overflow found by wrap-around instead; the kept bytes, or nothing.
std::optional<std::string> reference_content(std::string_view html,
                                             const std::vector<ByteRange>& list) {
  std::string kept;
  std::uint64_t previous_end = 0;
  for (const ByteRange& r : list) {
    const std::uint64_t end = r.start + r.length;
    if (end < r.start || r.start < previous_end || end > html.size()) return std::nullopt;
    kept.append(html.substr(previous_end, r.start - previous_end));
    previous_end = end;
  }
  kept.append(html.substr(previous_end));
  return kept;
}

bool is_known_name(std::string_view name) {
  for (const std::string_view known : kNames) {
    if (name == known) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(  // NOLINT(readability-identifier-naming)
    const std::uint8_t* data, std::size_t size) {
  Reader in(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::uint8_t selector = in.byte();
  const std::string name(selector % 4 < 3 ? kNames[selector % 4] : in.take(in.byte() % 9));
  std::vector<EntryCode> codes(in.byte() % 5);
  for (EntryCode& code : codes) code = {in.byte(), in.byte(), in.byte()};
  const std::string_view html = in.rest();

  const brevane::Result<brevane::HashAlgorithm> alg = brevane::parse_hash_algorithm(name);
  require(alg.ok() == is_known_name(name));
  if (!alg.ok()) require(alg.error() == DocumentError::unsupported_algorithm(name));
  // Whatever the name, the rest runs under some algorithm too.
  const brevane::HashAlgorithm used =
      alg.ok() ? alg.value() : static_cast<brevane::HashAlgorithm>(selector % 3);

  const auto sha = [used](std::string_view bytes) {
    return brevane::digest(used, brevane::HashedContent{bytes, {}});
  };
  const std::string whole = sha(html);
  require(brevane::inline_hash_before_embed(html, used) == whole);

  // compute fails exactly when the extraction does, with its error.
  const brevane::Result<brevane::AssociationRange> association = brevane::check_association(html);
  const brevane::Result<brevane::OwnedDataHashBinding> binding =
      brevane::compute_data_hash(html, used);
  require(binding.ok() == association.ok());
  std::optional<ByteRange> element;
  if (!association.ok()) {
    require(binding.error() == association.error());
  } else {
    const bool inline_store = association.value().kind == brevane::ElementKind::Embedded;
    if (inline_store) element = association.value().range;
    const std::vector<ByteRange> expected =
        inline_store ? std::vector<ByteRange>{*element} : std::vector<ByteRange>{};
    require(binding.value().exclusions == expected);
    require(binding.value().alg == used);
    const std::optional<std::string> kept = reference_content(html, expected);
    require(kept && binding.value().hash == sha(*kept));
    require(!brevane::verify_data_hash(html, binding.value().view()));
  }

  // A caller's list: the verdict, the streamed digest and the reference agree.
  std::vector<ByteRange> list;
  std::uint64_t previous_end = 0;
  for (const EntryCode& code : codes) {
    list.push_back(decode(code, previous_end, html.size(), element));
    previous_end = list.back().start + list.back().length;
  }
  const std::optional<std::string> expected = reference_content(html, list);
  const brevane::Result<brevane::HashedContent> content = brevane::hashed_content(html, list);
  require(content.ok() == expected.has_value());
  if (expected) {
    require(brevane::support::gathered_content(html, list) == *expected);
    require(brevane::digest(used, content.value()) == sha(*expected));
  } else {
    require(content.error() == DocumentError::exclusion_malformed());
  }

  // verify against its steps, with the right hash for the list or a wrong one.
  const std::string hash =
      (selector & 0x10) != 0 || !expected ? std::string(in.rest().substr(0, 4)) : sha(*expected);
  // As the module calls it: the name is parsed before the document is looked at.
  const std::optional<DocumentError> verdict =
      alg.ok() ? brevane::verify_data_hash(html, brevane::DataHashBinding{used, hash, list})
               : alg.error();
  std::optional<DocumentError> want;
  if (!alg.ok()) {
    want = alg.error();
  } else if (!association.ok()) {
    want = association.error();
  } else {
    bool covered = false;
    for (const ByteRange& r : list) covered = covered || (element && r == *element);
    const bool uncovered = element ? !covered : !list.empty();
    if (uncovered || !expected) {
      want = DocumentError::exclusion_malformed();
    } else if (hash != sha(*expected)) {
      want = DocumentError::hash_mismatch();
    }
  }
  require(verdict == want);
  return 0;
}
