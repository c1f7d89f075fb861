// The public APIs as a host sees them: the C ABI gives the C++ API's answers on
// every page of one table, and each keeps its own promises (outputs emptied on
// failure, owned strings NUL-terminated, size queries, arguments that a Python
// caller could never pass). Both are linked from the same objects as the
// module, so their texts are the module's by construction; the differential
// test (tests/native) compares them with the module itself.
#include <array>
#include <brevane.h>
#include <brevane/brevane.hpp>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr std::string_view kInline =
    R"(<html><head><title>t</title><script type="application/c2pa">QUJD</script></head><body>x</body></html>)";
constexpr std::string_view kLinked =
    R"(<head><link rel="c2pa-manifest" href="https://example.test/m.c2pa?a=1&amp;b"></head>)";

// Pages that take each branch of location, extraction and embedding.
const std::array<std::string, 9> kPages = {
    std::string(kInline),
    std::string(kLinked),
    "<html><head><title>none</title></head><body></body></html>",
    "<head><script type=application/c2pa>QUJD</script><link rel=c2pa-manifest href=m></head>",
    "<head><script type=\"application/c2pa\">QUJ</script></head>",
    "<head><link rel=\"c2pa-manifest\"></head>",
    "<p>no head at all",
    "",
    "<head>\0<script type=\"application/c2pa\"> QUJD\n</script></head>"s,
};
const std::array<std::string_view, 5> kAlgs = {"sha256", "sha384", "sha512", "md5", ""};

class Owned {  // frees a brevane_owned_string at scope exit
 public:
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { brevane_free(s); }
  [[nodiscard]] std::string_view view() const { return {s.data, s.length}; }
  brevane_owned_string s{nullptr, 0};
};

struct CError {
  CError() = default;
  CError(const CError&) = delete;
  CError& operator=(const CError&) = delete;
  ~CError() { brevane_free(e.message); }
  brevane_error e{BREVANE_OK, {nullptr, 0}, {nullptr, 0}};
};

// The C call's error against the C++ one: code, text and status code.
void expect_same_error(brevane_code code, const CError& c, const brevane::Error& cpp) {
  EXPECT_EQ(code, static_cast<int>(cpp.kind()));
  EXPECT_EQ(c.e.code, code);
  EXPECT_EQ(std::string_view(c.e.message.data, c.e.message.length), cpp.message());
  ASSERT_NE(c.e.message.data, nullptr);
  EXPECT_EQ(c.e.message.data[c.e.message.length], '\0');
  EXPECT_EQ(std::string_view(c.e.status_code.data, c.e.status_code.length), cpp.status_code());
}

void expect_same_edit(brevane_code code, const Owned& doc, const CError& error,
                      const brevane::Expected<std::string>& cpp) {
  if (!cpp) {
    expect_same_error(code, error, cpp.error());
    EXPECT_EQ(doc.s.data, nullptr);
    return;
  }
  ASSERT_EQ(code, BREVANE_OK) << error.e.message.data;
  EXPECT_EQ(doc.view(), *cpp);
  EXPECT_EQ(doc.s.data[doc.s.length], '\0');
}

TEST(CAbi, AgreesWithTheCppApiOnEveryPage) {
  for (const std::string& page : kPages) {
    SCOPED_TRACE(page);
    const char* html = page.data();
    const std::size_t n = page.size();

    const auto ranges = brevane::locate_all(page);
    ASSERT_TRUE(ranges);
    std::array<brevane_range, 4> c_ranges{};
    std::size_t count = 99;
    ASSERT_EQ(brevane_locate_all(html, n, c_ranges.data(), c_ranges.size(), &count, nullptr),
              BREVANE_OK);
    ASSERT_EQ(count, ranges->size());
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(c_ranges[i].start, (*ranges)[i].start);
      EXPECT_EQ(c_ranges[i].length, (*ranges)[i].length);
    }

    const auto association = brevane::extract(page);
    brevane_association c_association;
    CError extract_error;
    const brevane_code extracted = brevane_extract(html, n, &c_association, &extract_error.e);
    Owned payload;
    payload.s = c_association.payload;
    if (!association) {
      expect_same_error(extracted, extract_error, association.error());
      EXPECT_EQ(c_association.kind, BREVANE_KIND_NONE);
    } else if (!association->has_value()) {
      EXPECT_EQ(extracted, BREVANE_OK);
      EXPECT_EQ(c_association.kind, BREVANE_KIND_NONE);
    } else {
      const brevane::ManifestAssociation& value = **association;
      const bool embedded = value.kind == brevane::ElementKind::Embedded;
      EXPECT_EQ(c_association.kind, embedded ? BREVANE_KIND_EMBEDDED : BREVANE_KIND_REFERENCED);
      EXPECT_EQ(c_association.range.start, value.start);
      EXPECT_EQ(c_association.range.length, value.length);
      EXPECT_EQ(payload.view(), embedded ? value.store : value.href);
    }

    Owned removed;
    CError remove_error;
    expect_same_edit(brevane_remove(html, n, &removed.s, &remove_error.e), removed, remove_error,
                     brevane::remove(page));
    Owned embedded;
    CError embed_error;
    expect_same_edit(brevane_embed(html, n, "\0\xff", 2, &embedded.s, &embed_error.e), embedded,
                     embed_error, brevane::embed(page, "\0\xff"s));
    Owned linked;
    CError link_error;
    const std::string href = "a\"&<\xC3\xA9";
    expect_same_edit(
        brevane_embed_reference(html, n, href.data(), href.size(), &linked.s, &link_error.e),
        linked, link_error, brevane::embed_reference(page, href));

    for (const std::string_view alg : kAlgs) {
      SCOPED_TRACE(alg);
      const auto binding = brevane::compute_data_hash(page, alg);
      brevane_binding c_binding;
      CError compute_error;
      const brevane_code computed =
          brevane_compute_data_hash(html, n, alg.data(), alg.size(), &c_binding, &compute_error.e);
      if (!binding) {
        expect_same_error(computed, compute_error, binding.error());
        EXPECT_EQ(c_binding.hash.length, 0U);
      } else {
        ASSERT_EQ(computed, BREVANE_OK);
        EXPECT_EQ(std::string_view(c_binding.alg.data, c_binding.alg.length), binding->alg);
        EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(c_binding.hash.bytes),
                                   c_binding.hash.length),
                  binding->hash);
        ASSERT_EQ(c_binding.exclusion_count, binding->exclusions.size());
        if (c_binding.exclusion_count == 1) {
          EXPECT_EQ(c_binding.exclusions[0].start, binding->exclusions[0].start);
          EXPECT_EQ(c_binding.exclusions[0].length, binding->exclusions[0].length);
        }
        // The computed binding verifies through both, and a changed byte does not.
        EXPECT_EQ(brevane_verify_data_hash(html, n, c_binding.hash.bytes, c_binding.hash.length,
                                           c_binding.exclusions, c_binding.exclusion_count,
                                           c_binding.alg.data, c_binding.alg.length, nullptr),
                  BREVANE_OK);
        EXPECT_FALSE(brevane::verify_data_hash(page, binding->hash, binding->exclusions, alg));
        std::string wrong = binding->hash;
        wrong[0] = static_cast<char>(wrong[0] ^ 1);
        const auto mismatch = brevane::verify_data_hash(page, wrong, binding->exclusions, alg);
        ASSERT_TRUE(mismatch.has_value());
        CError verify_error;
        const brevane_code verified =
            brevane_verify_data_hash(html, n, reinterpret_cast<const unsigned char*>(wrong.data()),
                                     wrong.size(), c_binding.exclusions, c_binding.exclusion_count,
                                     alg.data(), alg.size(), &verify_error.e);
        expect_same_error(verified, verify_error, *mismatch);
      }

      const auto predicted = brevane::inline_hash_before_embed(page, alg);
      brevane_digest digest;
      CError predict_error;
      const brevane_code code = brevane_inline_hash_before_embed(html, n, alg.data(), alg.size(),
                                                                 &digest, &predict_error.e);
      if (!predicted) {
        expect_same_error(code, predict_error, predicted.error());
      } else {
        ASSERT_EQ(code, BREVANE_OK);
        EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(digest.bytes), digest.length),
                  *predicted);
      }
    }
  }
}

TEST(CAbi, NullAlgorithmIsTheDefaultAndAnEmptyNameIsNot) {
  brevane_binding by_default;
  brevane_binding named;
  ASSERT_EQ(
      brevane_compute_data_hash(kInline.data(), kInline.size(), nullptr, 0, &by_default, nullptr),
      BREVANE_OK);
  ASSERT_EQ(brevane_compute_data_hash(kInline.data(), kInline.size(), "sha256", 6, &named, nullptr),
            BREVANE_OK);
  EXPECT_EQ(std::memcmp(&by_default.hash, &named.hash, sizeof named.hash), 0);
  EXPECT_EQ(std::string_view(by_default.alg.data, by_default.alg.length), "sha256");
  CError error;
  EXPECT_EQ(brevane_compute_data_hash(kInline.data(), kInline.size(), "", 0, &named, &error.e),
            BREVANE_UNSUPPORTED_ALGORITHM);
  EXPECT_EQ(std::string_view(error.e.status_code.data, error.e.status_code.length),
            "algorithm.unsupported");
}

TEST(CAbi, LocateAllAnswersASizeQuery) {
  const std::string page =
      "<head><link rel=c2pa-manifest href=a><link rel=c2pa-manifest href=b></head>";
  std::size_t count = 0;
  CError query;
  EXPECT_EQ(brevane_locate_all(page.data(), page.size(), nullptr, 0, &count, &query.e),
            BREVANE_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2U);
  EXPECT_EQ(std::string_view(query.e.message.data, query.e.message.length),
            "buffer too small: 2 manifest elements found, room for 0");
  std::array<brevane_range, 2> ranges{};
  std::array<brevane_range, 1> one{};
  EXPECT_EQ(brevane_locate_all(page.data(), page.size(), one.data(), one.size(), &count, nullptr),
            BREVANE_BUFFER_TOO_SMALL);
  EXPECT_EQ(one[0].start, 6U);  // what fits is written
  EXPECT_EQ(
      brevane_locate_all(page.data(), page.size(), ranges.data(), ranges.size(), &count, nullptr),
      BREVANE_OK);
  EXPECT_EQ(ranges[1].start, ranges[0].start + ranges[0].length);
}

TEST(CAbi, ArgumentsNoPythonCallerCouldPass) {
  struct Case {
    const char* what;
    brevane_code (*call)(brevane_error*);
    std::string_view message;
  };
  static const std::array<Case, 6> kCases = {{
      {"html NULL with a length",
       [](brevane_error* e) {
         brevane_owned_string out;
         return brevane_remove(nullptr, 3, &out, e);
       },
       "argument 'html': NULL with a nonzero length"},
      {"no place for the result",
       [](brevane_error* e) { return brevane_remove("x", 1, nullptr, e); },
       "argument 'document': NULL where a result is to be written"},
      {"href not UTF-8",
       [](brevane_error* e) {
         brevane_owned_string out;
         return brevane_embed_reference("<head></head>", 13, "\xED\xA0\x80", 3, &out, e);
       },
       "argument 'href': not valid UTF-8"},
      {"exclusions NULL with a count",
       [](brevane_error* e) {
         return brevane_verify_data_hash("x", 1, nullptr, 0, nullptr, 1, nullptr, 0, e);
       },
       "argument 'exclusions': NULL with a nonzero length"},
      {"alg NULL with a length",
       [](brevane_error* e) {
         brevane_digest digest;
         return brevane_inline_hash_before_embed("x", 1, nullptr, 6, &digest, e);
       },
       "argument 'alg': NULL with a nonzero length"},
      {"no place for the count",
       [](brevane_error* e) { return brevane_locate_all("x", 1, nullptr, 0, nullptr, e); },
       "argument 'count': NULL where a result is to be written"},
  }};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    CError error;
    EXPECT_EQ(c.call(&error.e), BREVANE_INVALID_ARGUMENT);
    EXPECT_EQ(std::string_view(error.e.message.data, error.e.message.length), c.message);
    EXPECT_EQ(error.e.status_code.length, 0U);
    EXPECT_EQ(c.call(nullptr), BREVANE_INVALID_ARGUMENT);  // no message asked for
  }
  // The C++ API draws the same line for the href.
  const auto cpp = brevane::embed_reference("<head></head>", "\xED\xA0\x80");
  ASSERT_FALSE(cpp);
  EXPECT_EQ(cpp.error().message(), "argument 'href': not valid UTF-8");
}

TEST(CAbi, FailureEmptiesOutputsAndLeavesTheErrorAloneOnSuccess) {
  brevane_owned_string out{reinterpret_cast<char*>(1), 7};  // garbage a caller left there
  EXPECT_EQ(brevane_embed("<p>", 3, "", 0, &out, nullptr), BREVANE_NO_HEAD);
  EXPECT_EQ(out.data, nullptr);
  EXPECT_EQ(out.length, 0U);
  brevane_error untouched{BREVANE_HASH_MISMATCH, {nullptr, 0}, {nullptr, 0}};
  Owned ok;
  EXPECT_EQ(brevane_remove("<p>", 3, &ok.s, &untouched), BREVANE_OK);
  EXPECT_EQ(untouched.code, BREVANE_HASH_MISMATCH);
  // Empty input needs no pointer at all; the result is an empty, NUL-terminated string.
  EXPECT_EQ(brevane_remove(nullptr, 0, &out, nullptr), BREVANE_OK);
  ASSERT_NE(out.data, nullptr);
  EXPECT_EQ(out.length, 0U);
  EXPECT_EQ(out.data[0], '\0');
  brevane_free(out);
  brevane_free(brevane_owned_string{nullptr, 0});
}

// What a page gives through the C ABI: its binding's bytes, or the error code,
// then the embedded page. Any state shared between calls would show as a
// difference between threads and the serial run.
std::string c_answers(const std::string& page) {
  std::string out;
  brevane_binding binding;
  const brevane_code code =
      brevane_compute_data_hash(page.data(), page.size(), nullptr, 0, &binding, nullptr);
  out += std::to_string(code) + ":";
  out.append(reinterpret_cast<const char*>(binding.hash.bytes), binding.hash.length);
  brevane_owned_string embedded;
  brevane_error error{};
  if (brevane_embed(page.data(), page.size(), "store", 5, &embedded, &error) == BREVANE_OK) {
    out.append(embedded.data, embedded.length);
    brevane_free(embedded);
  } else {
    out.append(error.message.data, error.message.length);
    brevane_free(error.message);
  }
  return out;
}

TEST(CAbi, ThreadsShareNothing) {
  std::vector<std::string> serial;
  for (const std::string& page : kPages) serial.push_back(c_answers(page));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&serial, &mismatches, t] {
      for (int round = 0; round < 200; ++round) {
        for (std::size_t i = 0; i < kPages.size(); ++i) {
          if (c_answers(kPages[(i + t) % kPages.size()]) != serial[(i + t) % kPages.size()]) {
            ++mismatches[t];
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(mismatches.size(), 0));
}

TEST(CppApi, VersionIsTheCAbisText) {
  EXPECT_EQ(brevane::version(), std::string_view(brevane_version()));
  EXPECT_FALSE(brevane::version().empty());
}

}  // namespace
