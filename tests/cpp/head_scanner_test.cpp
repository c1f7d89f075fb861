// The tag scanner, head bounds, trim and UTF-8 replacement, on hand-written
// pages whose offsets were counted by hand; the kept attributes and the
// streaming head bounds held to the whole-list readings of tests/support on
// generated pages.
#include "scan/head_scanner.h"

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

using support::full_tokens;
using support::location_subset;

// One line per token: "name@start-end{attr=value;...}", end tags with a leading
// "/", tokens separated by single spaces. Attribute names stay as written.
std::string describe(const std::vector<TagToken>& tokens) {
  std::string out;
  for (const TagToken& token : tokens) {
    if (!out.empty()) out += ' ';
    if (token.is_end_tag) out += '/';
    out += token.name + '@' + std::to_string(token.start) + '-' + std::to_string(token.end);
    if (token.attributes.empty()) continue;
    out += '{';
    for (std::size_t k = 0; k < token.attributes.size(); ++k) {
      if (k != 0) out += ';';
      out += std::string(token.attributes[k].name) + '=' + std::string(token.attributes[k].value);
    }
    out += '}';
  }
  return out;
}

struct ScanCase {
  std::string_view html;
  std::string_view tokens;
};

TEST(ScanTags, TokensOffsetsAndAttributes) {
  const auto cases = std::to_array<ScanCase>({
      {"<head><script type=\"application/c2pa\">QUJD</script></head>",
       "head@0-6 script@6-38{type=application/c2pa} /script@42-51 /head@51-58"},
      {"<!DOCTYPE html><HTML><Head><Link REL=\"icon C2PA-Manifest\" href=/m.c2pa></HEAD><body>",
       "html@15-21 head@21-27 link@27-71{REL=icon C2PA-Manifest;href=/m.c2pa} /head@71-78 "
       "body@78-84"},
      {"<a b c=d e = \"f\" g=h/ i=>", "a@0-25{b=;c=d;e=f;g=h/;i=}"},
      {"<link rel=\"c2pa-manifest\" href=\"a\" href=\"b\" rel=\"x\">",
       "link@0-52{rel=c2pa-manifest;href=a}"},
      {"<a HREF=1 href=2 Href=3>", "a@0-24{HREF=1}"},
      {"<a =b>", "a@0-6{b=}"},
      {"<a b = >", "a@0-8{b=}"},
      {"<p title=\"a>b\">", "p@0-15{title=a>b}"},
      {"<p a='x\"y' b=\"x'y\">", "p@0-19{a=x\"y;b=x'y}"},
      {"<a b=c=d>", "a@0-9{b=c=d}"},
      {"<a b='x\n y'>", "a@0-12{b=x\n y}"},
      {"<a \"b'=<c>", "a@0-10{\"b'=<c}"},
      {"<br/><br />", "br@0-5 br@5-11"},
      {"<a\x0b"
       "b>",
       "a@0-5{\x0b"
       "b=}"},  // VT is no whitespace: it starts a name
      {"<Foo-Bar.9:x_y z>", "foo-bar.9:x_y@0-17{z=}"},
      {"<a$b>", "a@0-5{$b=}"},
      {"<head><link rel=c2pa-manifest", "head@0-6 link@6-29{rel=c2pa-manifest}"},
      {"<a b=\"unclosed>", "a@0-15{b=unclosed>}"},
      {"<a b=", "a@0-5{b=}"},
      {"<a b=   ", "a@0-8{b=}"},
      {"a < b </ head> <1> <x", "x@19-21"},
      {"</>x</ head><", ""},
      {"</P x=1>", "/p@0-8{x=1}"},
      {"", ""},
      {"no tags at all", ""},
  });
  for (const ScanCase& c : cases) {
    EXPECT_EQ(describe(full_tokens(c.html)), c.tokens) << c.html;
  }
}

TEST(ScanTags, CommentsAndDeclarations) {
  const auto cases = std::to_array<ScanCase>({
      {"<!-- <head> -->", ""},
      {"<!-->x--><b>", "b@9-12"},
      {"<!--->x--><b>", "b@10-13"},
      {"<!----><b>", "b@7-10"},
      {"<!--a--b--><b>", "b@11-14"},
      {"<!--", ""},
      {"<!--ab", ""},      // fewer than three bytes after the opener
      {"<!--abc<b>", ""},  // no terminator: the scan ends
      {"<!-x><b>", "b@5-8"},
      {"<!DOCTYPE html \">\"><b>", "b@19-22"},  // the quoted ">" ends it
      {"<![CDATA[<a>]]><b>", "b@15-18"},
      {"<?xml version=\"1.0\"?><b>", "b@21-24"},
      {"<?php echo '<a>' ?><b>", "b@19-22"},  // the first ">" ends it
      {"<!", ""},
      {"<!doctype", ""},
      {"<?", ""},
      {"<", ""},
  });
  for (const ScanCase& c : cases) {
    EXPECT_EQ(describe(full_tokens(c.html)), c.tokens) << c.html;
  }
}

TEST(ScanTags, RawTextElements) {
  const auto cases = std::to_array<ScanCase>({
      {"<script>a</scripts></script >", "script@0-8 /script@19-29"},
      {"<script>\"<head>\"</script>", "script@0-8 /script@16-25"},
      {"<SCRIPT>x</ScRiPt/>", "script@0-8 /script@9-19"},
      {"<script>x</script\ty>", "script@0-8 /script@9-20{y=}"},
      {"<script>x</script", "script@0-8 /script@9-17"},
      {"<script>x</scrip", "script@0-8"},
      {"<style><!--</style>--><b>", "style@0-7 /style@11-19 b@22-25"},
      {"<textarea><b></textarea>", "textarea@0-10 /textarea@13-24"},
      {"<title/><b></title>", "title@0-8 /title@11-19"},
      {"<script src=a", "script@0-13{src=a}"},
      {"<noscript><b></noscript>", "noscript@0-10 b@10-13 /noscript@13-24"},
      {"<template><b></template>", "template@0-10 b@10-13 /template@13-24"},
      {"<xmp><b></xmp>", "xmp@0-5 b@5-8 /xmp@8-14"},
      {"<scripts><b>", "scripts@0-9 b@9-12"},
      {"<script></</s</scr</script></b>", "script@0-8 /script@18-27 /b@27-31"},
  });
  for (const ScanCase& c : cases) {
    EXPECT_EQ(describe(full_tokens(c.html)), c.tokens) << c.html;
  }
}

TEST(ScanTags, UnclosedTitleSwallowsRest) {
  EXPECT_EQ(describe(full_tokens("<head><title>x</head><body>")), "head@0-6 title@6-13");
}

TEST(ScanTags, AttributeValuesAreViewsIntoTheDocument) {
  const std::string html = "<a B=\"Caf\xC3\xA9 &amp; x\" c>";
  const std::vector<TagToken> tokens = full_tokens(html);
  ASSERT_EQ(tokens.size(), 1U);
  ASSERT_EQ(tokens[0].attributes.size(), 2U);
  const TagAttribute& b = tokens[0].attributes[0];
  EXPECT_EQ(b.name.data(), html.data() + 3);
  EXPECT_EQ(b.value, "Caf\xC3\xA9 &amp; x");  // no reference decoding, case kept
  EXPECT_EQ(b.value.data(), html.data() + 6);
  EXPECT_EQ(tokens[0].attribute("b"), &b);
  EXPECT_EQ(tokens[0].attribute("B"), nullptr);  // lookups take a lower-cased name
  EXPECT_EQ(tokens[0].attribute("d"), nullptr);
}

// Every tag scan_tags hands out, copied: what it keeps of each.
std::vector<TagToken> scan_for_location(std::string_view html) {
  std::vector<TagToken> tokens;
  scan_tags(html, [&tokens](const TagToken& token) {
    tokens.push_back(token);
    return true;
  });
  return tokens;
}

// The scan reuses one token; what a link kept must not linger into the next
// tag, and a visitor that says stop gets no further tag.
TEST(ScanTags, EachTagKeepsOnlyItsOwnAttributesAndStopsWhenAsked) {
  const std::string_view html = "<link rel=a href=b><link rel=c><script type=d></script><p x=1><b>";
  std::vector<std::size_t> counts;
  scan_tags(html, [&counts](const TagToken& token) {
    counts.push_back(token.attributes.size());
    return token.name != "p";
  });
  EXPECT_EQ(counts, (std::vector<std::size_t>{2, 1, 1, 0, 0}));
}

TEST(ScanTagsKeptAttributes, KeepsFirstRelHrefAndTypeOnly) {
  const auto cases = std::to_array<ScanCase>({
      {"<link HREF=a x=1 Rel=b href=c REL=d type=e>", "link@0-43{HREF=a;Rel=b}"},
      {"<LINK rel=a>", "link@0-12{rel=a}"},
      {"<script src=x TYPE=a type=b rel=c></script>", "script@0-34{TYPE=a} /script@34-43"},
      {"<script type='a>b'>x</script>", "script@0-19{type=a>b} /script@20-29"},
      {"</link rel=a href=b></script type=c>", "/link@0-20 /script@20-36"},
      {"<meta rel=a type=b href=c><a href=x>", "meta@0-26 a@26-36"},
      {"<linkx rel=a><scripts type=b>", "linkx@0-13 scripts@13-29"},
      {"<link =rel rel=b rel>", "link@0-21{rel=}"},  // "=" is skipped, "rel" named
      {"<link rel=", "link@0-10{rel=}"},
      {"<link reL>", "link@0-10{reL=}"},
      {R"(<a b c=d e = "f" g=h/ i=><link rel=x>)", "a@0-25 link@25-37{rel=x}"},
  });
  for (const ScanCase& c : cases) {
    EXPECT_EQ(describe(scan_for_location(c.html)), c.tokens) << c.html;
  }
}

// However many names stand around them, the first rel and href are kept and
// nothing else.
TEST(ScanTagsKeptAttributes, ManyAttributesBeforeAndAfterTheWantedOnes) {
  for (const int count : {0, 7, 8, 9, 200}) {
    std::string html = "<html><link";
    for (int k = 0; k < count; ++k) html += " a" + std::to_string(k) + "=v";
    html += " HREF=first";
    for (int k = 0; k < count; ++k) html += " a" + std::to_string(k) + "=w";
    html += " rel=second href=third><meta";
    for (int k = 0; k < count; ++k) html += " rel" + std::to_string(k);
    html += " rel=x>";
    EXPECT_EQ(scan_for_location(html), location_subset(full_tokens(html))) << count;
    const std::vector<TagToken> tokens = scan_for_location(html);
    ASSERT_EQ(tokens.size(), 3U);
    EXPECT_EQ(tokens[1].attributes,
              (std::vector<TagAttribute>{{"HREF", "first"}, {"rel", "second"}}));
    EXPECT_TRUE(tokens[2].attributes.empty());
  }
}

// Pages glued from fragments that stress the attribute rules on the two tags
// that location reads (duplicates, case, quotes, stray "=", unclosed tags) and
// the raw-text and comment rules that decide where tags are.
std::string generate_attribute_page(std::mt19937& rng) {
  static constexpr auto kFragments = std::to_array<std::string_view>({
      "<link",   "<LINK",     "<Script",     "<script", "</link",      "</script>", "<meta",
      "<a",      " rel=a",    " REL='b c'",  " Rel",    " href=\"x\"", " HREF=y>",  " hReF",
      " type=t", " TYPE = u", " type='v>w'", " src=s",  " x=1",        " =",        "=",
      " ",       ">",         "/>",          "<!--",    "-->",         "<style>",   "</style>",
      "\"",      "'",         "<",           "</",      "<!x>",        "\t",        "z",
  });
  std::uniform_int_distribution<std::size_t> pick(0, kFragments.size() - 1);
  std::uniform_int_distribution<int> length(0, 24);
  std::string html;
  for (int k = length(rng); k > 0; --k) html += kFragments[pick(rng)];
  return html;
}

TEST(ScanTagsKeptAttributes, MatchesFullTokensOnGeneratedPages) {
  std::mt19937 rng(20240612);
  int with_kept = 0;
  for (int round = 0; round < 40000; ++round) {
    const std::string html = generate_attribute_page(rng);
    const std::vector<TagToken> lean = scan_for_location(html);
    ASSERT_EQ(lean, location_subset(full_tokens(html))) << html;
    for (const TagToken& token : lean) with_kept += token.attributes.empty() ? 0 : 1;
  }
  // The generator must reach tags whose attributes are kept, not only empty ones.
  EXPECT_GT(with_kept, 4000);
}

struct BoundsCase {
  std::string_view html;
  HeadBounds bounds;
};

TEST(FindHeadBounds, HeadStartEndAndCloseTag) {
  const auto cases = std::to_array<BoundsCase>({
      {"<head><script type=\"application/c2pa\">QUJD</script></head>", {6, 51, 51}},
      {"<!DOCTYPE html><HTML><Head><Link REL=\"icon C2PA-Manifest\" href=/m.c2pa></HEAD><body>",
       {27, 71, 71}},
      {"<head><title>x</head><body>", {6, 27, std::nullopt}},
      {"<body><head></head>", {12, 12, 12}},
      {"<p>text</p>", {0, 11, std::nullopt}},
      {"", {0, 0, std::nullopt}},
      {"plain", {0, 5, std::nullopt}},
      {"<html><p></html>", {6, 9, std::nullopt}},
      {"<html><head><body></head>", {12, 12, 18}},  // </head> past <body> still counts
      {"<head></body></head>", {6, 13, 13}},        // </body> leaves the head open
      {"<header><head-x></head>", {0, 16, 16}},
      {"</head><html></head>", {13, 13, 13}},
      {"</head><head>", {13, 13, std::nullopt}},
      {"<html><html x><head><head></head>", {20, 26, 26}},
      {"<body>x<html>y", {13, 14, std::nullopt}},
  });
  for (const BoundsCase& c : cases) {
    EXPECT_EQ(find_head_bounds(c.html), c.bounds) << c.html;
    EXPECT_EQ(support::head_bounds_of(c.html.size(), full_tokens(c.html)), c.bounds) << c.html;
  }
}

TEST(TrimAsciiWhitespace, OnlyTheFiveWhitespaceBytes) {
  const auto cases = std::to_array<std::pair<std::string_view, std::string_view>>({
      {"", ""},
      {" \t\n\f\r", ""},
      {" a b ", "a b"},
      {"\x0b"
       "a\x0b",
       "\x0b"
       "a\x0b"},
      {"\xC2\xA0x", "\xC2\xA0x"},
      {"\r\napplication/c2pa\t", "application/c2pa"},
  });
  for (const auto& [in, out] : cases) EXPECT_EQ(trim_ascii_whitespace(in), out) << in;
}

TEST(EqualsAsciiLower, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(equals_ascii_lower("C2PA-Manifest", "c2pa-manifest"));
  EXPECT_FALSE(equals_ascii_lower("c2pa-manifests", "c2pa-manifest"));
  EXPECT_FALSE(equals_ascii_lower("\xC3\x89", "\xC3\xA9"));  // no Unicode folding
  EXPECT_FALSE(equals_ascii_lower("@", "`"));                // 0x40 is not a letter
}

TEST(Utf8WithReplacement, OneReplacementPerMaximalSubpart) {
  const auto cases = std::to_array<std::pair<std::string_view, std::string_view>>({
      {"", ""},
      {"plain &amp;", "plain &amp;"},
      {"\xFF", "\xEF\xBF\xBD"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      // The Unicode Standard's own example (Table 3-8).
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
       "b\xEF\xBF\xBD"
       "c\xEF\xBF\xBD\xEF\xBF\xBD"
       "d"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // overlong lead
      {"\xE0\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong 3-byte
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
      {"\xF0\x9F\x98", "\xEF\xBF\xBD"},  // truncated at the end
      {"\xE2\x82x", "\xEF\xBF\xBDx"},
  });
  for (const auto& [in, out] : cases) EXPECT_EQ(utf8_with_replacement(in), out) << in;
}

}  // namespace
}  // namespace brevane
