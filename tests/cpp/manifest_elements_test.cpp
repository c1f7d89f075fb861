// Location of manifest elements and the head bounds it reports to embedding:
// hand-counted examples, and the streaming reading held to the whole-list one of
// tests/support on generated documents.
#include "document/manifest_elements.h"

#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/reference.h"

namespace brevane {
namespace {

// "E(start,length)c(start,length)" for a script, "R(start,length)" plus
// "h=<href>" when it has one for a link; elements separated by spaces.
std::string describe(const std::vector<ManifestElement>& elements) {
  std::string out;
  for (const ManifestElement& e : elements) {
    if (!out.empty()) out += ' ';
    const auto pair = [](const ByteRange& r) {
      return "(" + std::to_string(r.start) + "," + std::to_string(r.length) + ")";
    };
    if (e.kind == ElementKind::Embedded) {
      out += "E" + pair(e.range) + "c" + pair(e.content);
    } else {
      out += "R" + pair(e.range);
      if (e.href) out += "h=" + *e.href;
    }
  }
  return out;
}

struct LocateCase {
  std::string_view html;
  std::string_view elements;
};

std::vector<ManifestElement> locate_full(std::string_view html) {
  const std::vector<TagToken> tokens = support::full_tokens(html);
  return support::elements_of(html, tokens, support::head_bounds_of(html.size(), tokens));
}

TEST(LocateManifestElements, RangesContentAndHref) {
  const auto cases = std::to_array<LocateCase>({
      {"<head><script type=\"application/c2pa\">QUJD</script></head>", "E(6,45)c(38,4)"},
      {"<head><script type=\"application/c2pa\">QUJD</script>\n</head>", "E(6,45)c(38,4)"},
      {"<head><script type=\"application/c2pa\"></script></head>", "E(6,41)c(38,0)"},
      {"<!DOCTYPE html><HTML><Head><Link REL=\"icon C2PA-Manifest\" href=/m.c2pa></HEAD><body>",
       "R(27,44)h=/m.c2pa"},
      {"<head><link rel=\"c2pa-manifest\" href=\"x\"></link></head>", "R(6,35)h=x"},
      {"<head><link rel=\"c2pa-manifest\" href=\"m.c2pa\"><script "
       "type=\"application/c2pa\">QUJD</script></head>",
       "R(6,40)h=m.c2pa E(46,45)c(78,4)"},
      {"<html><script type=\" Application/C2PA \">x</script><body><script "
       "type=application/c2pa>y</script>",
       "E(6,44)c(40,1)"},
      {"<head><script type=\"application/c2pa\">abc", "E(6,35)c(38,3)"},
      {"<head><script type=\"application/c2pa; charset=utf-8\">a</script><link "
       "rel=c2pa-manifest></head>",
       "R(63,24)"},
      {"<head><link rel=\"c2pa-manifest\" href=\"\"></head>", "R(6,34)h="},
      {"<head><link rel=\"c2pa-manifest\" href></head>", "R(6,31)h="},
      {"<head><link rel=c2pa-manifest href=\"a&amp;\xFF\"></head>", "R(6,39)h=a&amp;\xEF\xBF\xBD"},
      {"<head><link rel=c2pa-manifest", "R(6,23)"},
      {"", ""},
      {"no tags at all", ""},
  });
  for (const LocateCase& c : cases) {
    EXPECT_EQ(describe(locate_manifest_elements(c.html)), c.elements) << c.html;
    EXPECT_EQ(describe(locate_full(c.html)), c.elements) << c.html;
  }
}

TEST(LocateManifestElements, RelAndTypeMatching) {
  const auto cases = std::to_array<LocateCase>({
      {"<head><link rel=C2PA-MANIFEST>", "R(6,24)"},
      {"<head><link rel=\"\ticon\fc2pa-manifest\r\n\">", "R(6,34)"},
      {"<head><link rel=\"c2pa-manifest;\">", ""},
      {"<head><link rel=\"c2pa-manifests\">", ""},
      {"<head><link rel=\"c2pa-manifest\x0b\">", ""},  // VT does not separate words
      {"<head><link rel>", ""},
      {"<head><link type=application/c2pa>", ""},
      {"<head><link ReL=x rel=c2pa-manifest>", ""},  // the first rel decides
      {"<head><script type=\"\napplication/c2pa\t\"></script>", "E(6,43)c(40,0)"},
      {"<head><script type=\"text/c2pa\"></script>", ""},
      {"<head><script type></script>", ""},
      {"<head><script rel=c2pa-manifest></script>", ""},
      {"<head><script src=x type=application/c2pa></script>", "E(6,45)c(42,0)"},
      {"<head></script><script type=application/c2pa>", "E(15,30)c(45,0)"},
  });
  for (const LocateCase& c : cases) {
    EXPECT_EQ(describe(locate_manifest_elements(c.html)), c.elements) << c.html;
    EXPECT_EQ(describe(locate_full(c.html)), c.elements) << c.html;
  }
}

TEST(LocateManifestElements, OnlyTheHeadCounts) {
  const auto cases = std::to_array<LocateCase>({
      {"<head><!-- <script type=application/c2pa>x</script> --></head>", ""},
      {"<head><title><link rel=c2pa-manifest></title></head>", ""},
      {"<head><noscript><link rel=c2pa-manifest></noscript></head>", "R(16,24)"},
      {"<head><template><link rel=c2pa-manifest></template></head>", "R(16,24)"},
      {"<head></head><link rel=c2pa-manifest>", ""},
      {"<body><head><link rel=c2pa-manifest></head>", "R(12,24)"},
      {"<link rel=c2pa-manifest><head></head>", ""},
      {"<html><link rel=c2pa-manifest><head></head>", ""},  // a later <head> moves the head
      {"<link rel=c2pa-manifest><html>", ""},               // so does a later <html>
      {"<link rel=c2pa-manifest><body><link rel=c2pa-manifest>", "R(0,24)"},
      {"<link rel=c2pa-manifest></html><html><link rel=c2pa-manifest>", "R(37,24)"},
      {"<body><html><link rel=c2pa-manifest>", "R(12,24)"},
      {"<html><head></body><link rel=c2pa-manifest></html>", "R(19,24)"},
      {"<header><link rel=c2pa-manifest></header>", "R(8,24)"},
  });
  for (const LocateCase& c : cases) {
    EXPECT_EQ(describe(locate_manifest_elements(c.html)), c.elements) << c.html;
    EXPECT_EQ(describe(locate_full(c.html)), c.elements) << c.html;
  }
}

// Documents glued from fragments that hit every rule that decides the head or
// an element: anchors that arrive late, enders before and after them, raw text,
// comments, unclosed tags and quotes.
std::string generate_document(std::mt19937& rng) {
  static constexpr std::array<std::string_view, 34> kFragments = {
      "<head>",
      "</head>",
      "<HEAD >",
      "<html>",
      "</html>",
      "<body>",
      "</body>",
      "<header>",
      "<script type=application/c2pa>",
      "<script type=' APPLICATION/C2PA'>",
      "</script>",
      "</SCRIPT >",
      "<script>",
      "<link rel=c2pa-manifest href=x>",
      "<link rel='icon c2pa-manifest'",
      "<link rel=c2pa-manifest>",
      "<LINK REL=C2PA-MANIFEST HREF=\"y\">",
      "<!--",
      "-->",
      "<!doctype>",
      "<title>",
      "</title>",
      "<style>",
      "</style>",
      "<p class=a>",
      "x",
      " ",
      ">",
      "<",
      "\"",
      "'",
      "<a b=\"",
      "</",
      "<?",
  };
  std::uniform_int_distribution<std::size_t> pick(0, kFragments.size() - 1);
  std::uniform_int_distribution<int> length(0, 14);
  std::string html;
  for (int k = length(rng); k > 0; --k) html += kFragments[pick(rng)];
  return html;
}

TEST(LocateManifestElements, StreamingMatchesFullListOnGeneratedDocuments) {
  std::mt19937 rng(20240611);
  int with_elements = 0;
  int with_both = 0;
  for (int round = 0; round < 40000; ++round) {
    const std::string html = generate_document(rng);
    const std::vector<TagToken> tokens = support::full_tokens(html);
    const HeadBounds bounds = support::head_bounds_of(html.size(), tokens);
    const std::vector<ManifestElement> full = support::elements_of(html, tokens, bounds);
    HeadBounds streamed;
    ASSERT_EQ(locate_manifest_elements(html, &streamed), full) << html;
    ASSERT_EQ(streamed, bounds) << html;
    if (!full.empty()) ++with_elements;
    if (!full.empty() && bounds.close_tag_start) ++with_both;
  }
  // The generator must actually reach the interesting cases.
  EXPECT_GT(with_elements, 4000);
  EXPECT_GT(with_both, 500);
}

struct HeadCase {
  std::string_view html;
  std::string_view elements;
  std::optional<std::uint64_t> close_tag_start;
};

// One pass must give both answers also where they come from different tokens:
// a head ended by <body> whose </head> comes later, a </head> before the head,
// and an anchor that arrives after a tentative answer.
TEST(LocateManifestElements, ElementsAndCloseTagFromOnePass) {
  const auto cases = std::to_array<HeadCase>({
      {"<head><link rel=c2pa-manifest></head>", "R(6,24)", 30},
      {"<head><link rel=c2pa-manifest><body></head>", "R(6,24)", 36},
      {"<head><body><link rel=c2pa-manifest></head>", "", 36},
      {"</head><head><link rel=c2pa-manifest></head>", "R(13,24)", 37},
      {"<link rel=c2pa-manifest></head><html></head>", "", 37},
      {"<link rel=c2pa-manifest></head><head>", "", std::nullopt},
      {"<html><link rel=c2pa-manifest></html></head>", "R(6,24)", 37},
      {"<head><script type=application/c2pa>x</head>", "E(6,38)c(36,8)", std::nullopt},
      {"<head><script type=application/c2pa></script></head>", "E(6,39)c(36,0)", 45},
      {"", "", std::nullopt},
  });
  for (const HeadCase& c : cases) {
    HeadBounds head;
    EXPECT_EQ(describe(locate_manifest_elements(c.html, &head)), c.elements) << c.html;
    EXPECT_EQ(head.close_tag_start, c.close_tag_start) << c.html;
  }
}

}  // namespace
}  // namespace brevane
