// The hard binding: algorithm names, the validity of exclusion lists and the
// digest of the bytes they keep (against those bytes gathered by tests/support),
// and the binding's computation, verification and prediction on small documents.
#include "hardbinding/data_hash.h"

#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "document/extract.h"
#include "support/reference.h"

namespace brevane {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::array kAlgorithms = {HashAlgorithm::Sha256, HashAlgorithm::Sha384,
                                    HashAlgorithm::Sha512};

std::string to_hex(std::string_view bytes) {
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

// The digest of `bytes` whole.
std::string sha(HashAlgorithm alg, std::string_view bytes) {
  return digest(alg, HashedContent{bytes, {}});
}

std::string describe(const std::vector<ByteRange>& list) {
  std::string text = "[";
  for (const ByteRange& r : list) {
    text.append("(").append(std::to_string(r.start)).append(",");
    text.append(std::to_string(r.length)).append(")");
  }
  return text.append("]");
}

// The page before and after embedding the store "ABC" (Base64 "QUJD") at 12.
constexpr std::string_view kPlain = "<html><head></head><body></body></html>";
constexpr std::string_view kEmbedded =
    R"(<html><head><script type="application/c2pa">QUJD</script></head><body></body></html>)";
constexpr ByteRange kElement{12, 45};
constexpr std::string_view kLinked =
    R"(<html><head><link rel="c2pa-manifest" href="m.c2pa"></head><body></body></html>)";
constexpr std::string_view kTwoElements =
    R"(<html><head><script type="application/c2pa">QUJD</script>)"
    R"(<link rel="c2pa-manifest" href="m.c2pa"></head><body></body></html>)";
constexpr std::string_view kBadBase64 =
    R"(<html><head><script type="application/c2pa">Q!JD</script></head><body></body></html>)";

TEST(ParseHashAlgorithm, AcceptsExactlyTheThreeNames) {
  const std::vector<std::pair<std::string_view, HashAlgorithm>> cases = {
      {"sha256", HashAlgorithm::Sha256},
      {"sha384", HashAlgorithm::Sha384},
      {"sha512", HashAlgorithm::Sha512}};
  for (const auto& [name, alg] : cases) {
    const Result<HashAlgorithm> parsed = parse_hash_algorithm(name);
    ASSERT_TRUE(parsed.ok()) << name;
    EXPECT_EQ(parsed.value(), alg);
    EXPECT_EQ(hash_algorithm_name(alg), name);
  }
}

TEST(ParseHashAlgorithm, RejectsAnythingElseKeepingTheName) {
  const std::vector<std::string_view> names = {"SHA256",
                                               "Sha256",
                                               "sha-256",
                                               "sha224",
                                               "sha256 ",
                                               " sha256",
                                               "",
                                               "sha25",
                                               "sha2566",
                                               "md5",
                                               "sha512\n",
                                               std::string_view("sha256\0", 7),
                                               "sha3-256",
                                               "\xEF\xBC\xB3ha256",
                                               "sha384\xC3\xA9"};
  for (const std::string_view name : names) {
    SCOPED_TRACE(to_hex(name));
    const Result<HashAlgorithm> parsed = parse_hash_algorithm(name);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error(), DocumentError::unsupported_algorithm(name));
    EXPECT_EQ(parsed.error().host_message(),
              "unsupported hash algorithm: " + std::string(name) + " [algorithm.unsupported]");
  }
}

// A 16-byte document: offsets are easy to read off the letters.
constexpr std::string_view kLetters = "abcdefghijklmnop";
constexpr std::uint64_t kN = kLetters.size();

struct ContentCase {
  std::vector<ByteRange> exclusions;
  std::optional<std::string_view> kept;  // nullopt: ExclusionMalformed
};

const std::vector<ContentCase>& content_cases() {
  static const std::vector<ContentCase> cases = {
      {{}, kLetters},
      {{{0, kN}}, ""},
      {{{kN, 0}}, kLetters},
      {{{0, 0}}, kLetters},
      {{{5, 3}, {8, 2}}, "abcdeklmnop"},
      {{{5, 0}, {5, 0}, {5, 3}}, "abcdeijklmnop"},
      {{{0, 1}, {15, 1}}, "bcdefghijklmno"},
      {{{2, 2}, {4, 0}, {10, 6}}, "abefghij"},
      {{{kN, 1}}, std::nullopt},
      {{{kN + 1, 0}}, std::nullopt},
      {{{0, kN + 1}}, std::nullopt},
      // Ends that wrap past 2^64 - 1 must not pass for small, in-range ends.
      {{{1, kMax}}, std::nullopt},
      {{{kMax, 1}}, std::nullopt},
      {{{2, kMax - 1}}, std::nullopt},
      {{{5, 3}, {9, kMax - 8}}, std::nullopt},
      {{{kMax, 0}}, std::nullopt},
      {{{5, 3}, {7, 2}}, std::nullopt},
      {{{8, 2}, {5, 3}}, std::nullopt},
      {{{5, 3}, {5, 3}}, std::nullopt},
      {{{5, 3}, {6, 0}}, std::nullopt},
      {{{4, 0}, {3, 0}}, std::nullopt},
      {{{0, 2}, {3, 1}, {12, 5}}, std::nullopt},
  };
  return cases;
}

TEST(HashedContent, DigestCoversExactlyTheBytesOutsideAValidList) {
  for (const ContentCase& c : content_cases()) {
    SCOPED_TRACE(describe(c.exclusions));
    const Result<HashedContent> content = hashed_content(kLetters, c.exclusions);
    if (!c.kept) {
      ASSERT_FALSE(content.ok());
      EXPECT_EQ(content.error(), DocumentError::exclusion_malformed());
      continue;
    }
    ASSERT_TRUE(content.ok());
    EXPECT_EQ(support::gathered_content(kLetters, c.exclusions), *c.kept);
    for (const HashAlgorithm alg : kAlgorithms) {
      EXPECT_EQ(digest(alg, content.value()), sha(alg, *c.kept)) << hash_algorithm_name(alg);
    }
  }
}

TEST(ComputeDataHash, InlineStoreExcludesExactlyTheElement) {
  // The digests of the 39-byte page without its element.
  const std::vector<std::pair<HashAlgorithm, std::string_view>> cases = {
      {HashAlgorithm::Sha256, "a7fe83ec64bb23eb28090598db3d166ed98e52e39d1afbbfd74c579553f93e4e"},
      {HashAlgorithm::Sha384,
       "81aee05eef23b128de084a8b8729e2707b7a104df59e402091ac18d7c9c774378cb782011443017ed2ddd2510ba"
       "92acf"},
      {HashAlgorithm::Sha512,
       "aade21843813e2cab329b99185c6f61db7907a556ea974e0315dcf3ad967cab20fee66d4f10db0d0ec43a71e086"
       "ce6d700d5524103deaefa3ce5f6be74ba5737"},
  };
  ASSERT_EQ(kEmbedded.size(), 84U);
  ASSERT_EQ(kPlain.size(), 39U);
  for (const auto& [alg, hex] : cases) {
    SCOPED_TRACE(hash_algorithm_name(alg));
    const Result<OwnedDataHashBinding> binding = compute_data_hash(kEmbedded, alg);
    ASSERT_TRUE(binding.ok()) << binding.error().host_message();
    EXPECT_EQ(binding.value().alg, alg);
    EXPECT_EQ(to_hex(binding.value().hash), hex);
    EXPECT_EQ(binding.value().exclusions, std::vector<ByteRange>{kElement});
    EXPECT_EQ(to_hex(inline_hash_before_embed(kPlain, alg)), hex);
  }
}

struct ComputeCase {
  std::string_view name;
  std::string_view html;
  std::optional<ByteRange> excluded;  // nullopt with no error: a link, nothing excluded
  std::optional<DocumentError> error;
};

TEST(ComputeDataHash, ExclusionsFollowTheAssociation) {
  const std::vector<ComputeCase> cases = {
      {"link is hashed whole", kLinked, std::nullopt, std::nullopt},
      {"element runs to the end", R"(<head><script type="application/c2pa">QUJD</script>)",
       ByteRange{6, 45}, std::nullopt},
      {"unclosed element runs to the end", R"(<head><script type="application/c2pa">QUJD)",
       ByteRange{6, 36}, std::nullopt},
      {"no manifest", kPlain, std::nullopt, DocumentError::no_manifest()},
      {"script and link", kTwoElements, std::nullopt, DocumentError::multiple_manifests()},
      {"bad Base64", kBadBase64, std::nullopt,
       DocumentError::malformed(MalformedCause::ScriptNotBase64)},
      {"empty document", "", std::nullopt, DocumentError::no_manifest()},
  };
  for (const ComputeCase& c : cases) {
    for (const HashAlgorithm alg : kAlgorithms) {
      SCOPED_TRACE(std::string(c.name) + " " + std::string(hash_algorithm_name(alg)));
      const Result<OwnedDataHashBinding> binding = compute_data_hash(c.html, alg);
      const Result<std::vector<ByteRange>> located = located_exclusions(c.html);
      if (c.error) {
        ASSERT_FALSE(binding.ok());
        EXPECT_EQ(binding.error(), *c.error);
        ASSERT_FALSE(located.ok());
        EXPECT_EQ(located.error(), *c.error);
        continue;
      }
      ASSERT_TRUE(binding.ok()) << binding.error().host_message();
      const std::vector<ByteRange> expected =
          c.excluded ? std::vector<ByteRange>{*c.excluded} : std::vector<ByteRange>{};
      EXPECT_EQ(binding.value().exclusions, expected);
      ASSERT_TRUE(located.ok());
      EXPECT_EQ(located.value(), expected);
      EXPECT_EQ(binding.value().hash, sha(alg, support::gathered_content(c.html, expected)));
      // A binding always verifies on the document it was computed for.
      EXPECT_EQ(verify_data_hash(c.html, binding.value().view()), std::nullopt);
    }
  }
}

TEST(LocatedExclusions, InlineRangeIsTheAssociationRange) {
  const Result<AssociationRange> association = check_association(kEmbedded);
  ASSERT_TRUE(association.ok());
  const Result<std::vector<ByteRange>> located = located_exclusions(kEmbedded);
  ASSERT_TRUE(located.ok());
  EXPECT_EQ(located.value(), std::vector<ByteRange>{association.value().range});
  EXPECT_EQ(located.value(), std::vector<ByteRange>{kElement});
}

struct VerifyCase {
  std::string_view name;
  std::string html;
  std::string alg;
  std::string hash;
  std::vector<ByteRange> exclusions;
  std::optional<DocumentError> expected;
};

std::string with_byte(std::string_view html, std::size_t at, char value) {
  std::string changed(html);
  changed[at] = value;
  return changed;
}

// As the module calls it: the name is parsed before the document is looked at.
std::optional<DocumentError> verify_named(std::string_view html, std::string_view alg,
                                          std::string_view hash,
                                          std::span<const ByteRange> exclusions) {
  const Result<HashAlgorithm> parsed = parse_hash_algorithm(alg);
  if (!parsed.ok()) return parsed.error();
  return verify_data_hash(html, DataHashBinding{parsed.value(), hash, exclusions});
}

TEST(VerifyDataHash, ChecksInOrderAndStopsAtTheFirstFailure) {
  const std::string h = sha(HashAlgorithm::Sha256, kPlain);
  const std::string e(kEmbedded);
  const std::string blank_before = "<html><head> " + e.substr(12);
  const std::string longer =
      R"(<html><head><script type="application/c2pa">QUJDRA==</script></head><body></body></html>)";
  const DocumentError malformed = DocumentError::exclusion_malformed();
  const DocumentError mismatch = DocumentError::hash_mismatch();
  const std::vector<VerifyCase> cases = {
      {"own binding", e, "sha256", h, {kElement}, std::nullopt},
      {"zero-length entry before", e, "sha256", h, {{0, 0}, kElement}, std::nullopt},
      {"zero-length entry after", e, "sha256", h, {kElement, {57, 0}}, std::nullopt},
      {"extra entry loses bytes", e, "sha256", h, {kElement, {70, 5}}, mismatch},
      {"no entries", e, "sha256", h, {}, malformed},
      {"longer entry", e, "sha256", h, {{12, 46}}, malformed},
      {"earlier entry", e, "sha256", h, {{11, 46}}, malformed},
      {"shorter entry", e, "sha256", h, {{12, 44}}, malformed},
      {"out of order", e, "sha256", h, {{60, 2}, kElement}, malformed},
      {"repeated", e, "sha256", h, {kElement, kElement}, malformed},
      {"second leaves the document", e, "sha256", h, {kElement, {80, 10}}, malformed},
      {"overflowing second", e, "sha256", h, {kElement, {60, kMax}}, malformed},
      {"coverage before hash", e, "sha256", "wrong", {{12, 46}}, malformed},
      {"empty hash", e, "sha256", "", {kElement}, mismatch},
      {"sha256 value under sha512", e, "sha512", h, {kElement}, mismatch},
      {"sha512 value under sha256",
       e,
       "sha256",
       sha(HashAlgorithm::Sha512, kPlain),
       {kElement},
       mismatch},
      {"hash with a byte more", e, "sha256", h + '\0', {kElement}, mismatch},
      {"upper-case name",
       e,
       "SHA256",
       h,
       {kElement},
       DocumentError::unsupported_algorithm("SHA256")},
      {"name before a missing manifest",
       std::string(kPlain),
       "SHA256",
       h,
       {},
       DocumentError::unsupported_algorithm("SHA256")},
      {"name before bad exclusions",
       e,
       "sha-256",
       h,
       {{8, 2}, {5, 3}},
       DocumentError::unsupported_algorithm("sha-256")},
      {"empty name", e, "", h, {kElement}, DocumentError::unsupported_algorithm("")},
      {"no manifest", std::string(kPlain), "sha256", h, {{12, 45}}, DocumentError::no_manifest()},
      {"no manifest, no exclusions",
       std::string(kPlain),
       "sha256",
       h,
       {},
       DocumentError::no_manifest()},
      {"two elements",
       std::string(kTwoElements),
       "sha256",
       h,
       {kElement},
       DocumentError::multiple_manifests()},
      {"bad Base64",
       std::string(kBadBase64),
       "sha256",
       h,
       {kElement},
       DocumentError::malformed(MalformedCause::ScriptNotBase64)},
      {"body tag in upper case", with_byte(e, 65, 'B'), "sha256", h, {kElement}, mismatch},
      {"blank before the element", blank_before, "sha256", h, {kElement}, malformed},
      {"same-length store", with_byte(e, 47, 'E'), "sha256", h, {kElement}, std::nullopt},
      {"longer store", longer, "sha256", h, {kElement}, malformed},
      {"link, whole document",
       std::string(kLinked),
       "sha256",
       sha(HashAlgorithm::Sha256, kLinked),
       {},
       std::nullopt},
      {"link under sha384",
       std::string(kLinked),
       "sha384",
       sha(HashAlgorithm::Sha384, kLinked),
       {},
       std::nullopt},
      {"link with a zero-length entry",
       std::string(kLinked),
       "sha256",
       sha(HashAlgorithm::Sha256, kLinked),
       {{0, 0}},
       malformed},
      {"link, wrong hash", std::string(kLinked), "sha256", h, {}, mismatch},
  };
  ASSERT_EQ(e[65], 'b');
  ASSERT_EQ(e.substr(44, 4), "QUJD");
  for (const VerifyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<DocumentError> verdict = verify_named(c.html, c.alg, c.hash, c.exclusions);
    EXPECT_EQ(verdict, c.expected) << (verdict ? verdict->host_message() : "success");
  }
}

}  // namespace
}  // namespace brevane
