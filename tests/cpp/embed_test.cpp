// Embedding, both forms, over one table: the expected output is written with "@"
// where the new element must stand, so each case pins the exact bytes, the
// insertion offset and the single exact-size request to the sink.
#include "document/embed.h"

#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/extract.h"
#include "edit_fixtures.h"
#include "support/reference.h"

namespace brevane {
namespace {

using support::embed;
using support::embed_reference;

using namespace std::string_literals;

using fixtures::kLink;
using fixtures::kScript;
using fixtures::RecordingSink;

TEST(Embed, InlineElementBytes) {
  const Result<std::string> out = embed("<html><head></head><body></body></html>", "ABC");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(
      out.value(),
      "<html><head><script type=\"application/c2pa\">QUJD</script></head><body></body></html>");
  const Result<ManifestAssociation> back = extract_association(out.value());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().start, 12U);
  EXPECT_EQ(back.value().length, 45U);
  EXPECT_EQ(back.value().store, "ABC");
}

TEST(Embed, EmptyStoreGivesTheBareElement) {
  const Result<std::string> out = embed("<head></head>", "");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out.value(), "<head><script type=\"application/c2pa\"></script></head>");
  const Result<ManifestAssociation> back = extract_association(out.value());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().length, 41U);
  EXPECT_EQ(back.value().store, "");
}

TEST(EmbedReference, LinkElementBytes) {
  const Result<std::string> out =
      embed_reference("<html><head></head><body></body></html>", "stores/page-1");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out.value(),
            "<html><head><link rel=\"c2pa-manifest\" href=\"stores/page-1\" "
            "type=\"application/c2pa\"></head><body></body></html>");
}

TEST(EmbedReference, EmptyHrefIsWrittenAndThenRefusedByExtraction) {
  const Result<std::string> out = embed_reference("<head></head>", "");
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out.value(),
            "<head><link rel=\"c2pa-manifest\" href=\"\" type=\"application/c2pa\"></head>");
  const Result<ManifestAssociation> back = extract_association(out.value());
  ASSERT_FALSE(back.ok());
  EXPECT_EQ(back.error(), DocumentError::malformed(MalformedCause::LinkWithoutHref));
}

struct EscapeCase {
  std::string_view href;
  std::string_view escaped;
};

// The href as the written markup carries it.
TEST(EmbedReference, EscapesOnlyQuoteAmpersandAndLessThan) {
  const auto cases = std::to_array<EscapeCase>({
      {"", ""},
      {"stores/page-1", "stores/page-1"},
      {"x&y<z>", "x&amp;y&lt;z>"},
      {"a\"b", "a&quot;b"},
      {"\"&<", "&quot;&amp;&lt;"},
      {"&amp;", "&amp;amp;"},
      {"'> \t\n\r\x01", "'> \t\n\r\x01"},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
  });
  for (const EscapeCase& c : cases) {
    const Result<std::string> out = embed_reference("<head></head>", c.href);
    ASSERT_TRUE(out.ok()) << c.href;
    EXPECT_EQ(out.value(), "<head><link rel=\"c2pa-manifest\" href=\"" + std::string(c.escaped) +
                               "\" type=\"application/c2pa\"></head>")
        << c.href;
  }
}

// The escaped href survives a round trip through the written markup: extraction
// hands back the escaped text, since it decodes no character references.
TEST(EmbedReference, ExtractionReturnsTheEscapedHref) {
  for (const std::string_view href : {"x&y<z>", "a\"b", "plain/path?q=1", " ", "caf\xC3\xA9"}) {
    const Result<std::string> out = embed_reference("<head></head>", href);
    ASSERT_TRUE(out.ok());
    const Result<ManifestAssociation> back = extract_association(out.value());
    ASSERT_TRUE(back.ok()) << href;
    EXPECT_EQ(back.value().href, support::escaped_href(href));
  }
}

struct Case {
  std::string name;
  std::string html;
  std::optional<std::string> expected;  // "@" marks the new element; none: NoHead
  bool found_by_extract = true;         // the element lies in the head that is searched
};

std::vector<Case> cases() {
  return {
      {"plain page", "<html><head></head><body></body></html>",
       "<html><head>@</head><body></body></html>"},
      {"old script replaced after the title", "<head>" + kScript + "<title>t</title></head>",
       "<head><title>t</title>@</head>"},
      {"several old elements all go",
       "<head>" + kLink + "\n" + kScript + "<link rel=c2pa-manifest></head>", "<head>\n@</head>"},
      {"upper-case tags", "<HTML><HEAD><TITLE>t</TITLE></HEAD>",
       "<HTML><HEAD><TITLE>t</TITLE>@</HEAD>"},
      {"first end tag after html when there is no head", "</head><html><p>x</head>",
       "</head><html><p>x@</head>"},
      {"first end tag of all without head and html", "x</head>y</head>", "x@</head>y</head>"},
      {"end tag before the head start is passed over", "</head><head></head>",
       "</head><head>@</head>"},
      {"end tags in comments and raw text do not count",
       "<head><!--</head>--><script>'</head>'</script><title></head></title></head>",
       "<head><!--</head>--><script>'</head>'</script><title></head></title>@</head>"},
      {"body before the end tag", "<head><body></head>", "<head><body>@</head>", false},
      {"html end before the end tag", "<head></html></head>", "<head></html>@</head>", false},
      {"body element survives", "<head></head><body>" + kScript + "</body>",
       "<head>@</head><body>" + kScript + "</body>"},
      // The cut joins "<" and "/head>" into an end tag that the input never had.
      {"removal creates the end tag", "<head><" + kLink + "/head><body></body></head>",
       "<head>@</head><body></body></head>"},
      // The cut joins "<" and "title>", whose raw text swallows the only end tag.
      {"removal hides the end tag", "<head>x<" + kLink + "title>y</head>", std::nullopt},
      {"unclosed head", "<html><head><title>t</title><body>x</body></html>", std::nullopt},
      {"no end tag at all", "<head>" + kScript, std::nullopt},
      {"empty document", "", std::nullopt},
      {"end tag inside an unclosed comment", "<head><!--</head>", std::nullopt},
  };
}

std::string with_element(const std::string& marked, std::string_view element) {
  const std::size_t at = marked.find('@');
  return marked.substr(0, at) + std::string(element) + marked.substr(at + 1);
}

void check_case(const Case& c, std::string_view element, std::string_view payload_store,
                bool reference) {
  RecordingSink sink;
  const std::optional<DocumentError> error = reference
                                                 ? embed_reference_into(c.html, "m.c2pa", sink)
                                                 : embed_into(c.html, payload_store, sink);
  if (!c.expected) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, DocumentError::no_head());
    EXPECT_LE(sink.sizes.size(), 1U);
    return;
  }
  ASSERT_FALSE(error.has_value()) << error->message();
  const std::string expected = with_element(*c.expected, element);
  EXPECT_EQ(sink.bytes, expected);
  EXPECT_EQ(sink.sizes, std::vector<std::uint64_t>{expected.size()});

  const std::uint64_t at = c.expected->find('@');
  const Result<AssociationRange> back = check_association(sink.bytes);
  if (c.found_by_extract) {
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(back.value().range, (ByteRange{at, element.size()}));
  } else {
    ASSERT_FALSE(back.ok());
    EXPECT_EQ(back.error(), DocumentError::no_manifest());
  }
}

TEST(EmbedInto, SplicesBeforeTheHeadEndOfTheCleanedDocument) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    check_case(c, kScript, "ABC", false);
  }
}

TEST(EmbedReferenceInto, SplicesBeforeTheHeadEndOfTheCleanedDocument) {
  const std::string link = R"(<link rel="c2pa-manifest" href="m.c2pa" type="application/c2pa">)";
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    check_case(c, link, {}, true);
  }
}

TEST(Embed, ResultFormsAgreeWithTheSinkForms) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const Result<std::string> out = embed(c.html, "ABC");
    ASSERT_EQ(out.ok(), c.expected.has_value());
    if (out.ok()) {
      EXPECT_EQ(out.value(), with_element(*c.expected, kScript));
    } else {
      EXPECT_EQ(out.error().message(), "the document has no head element to embed into");
    }
  }
}

// A page without manifest elements is never copied before its end tag is known:
// a refused page costs no allocation at all.
TEST(EmbedInto, RefusedPlainPageAllocatesNothing) {
  RecordingSink sink;
  ASSERT_TRUE(embed_into("<html><head><title>t</title><body>", "ABC", sink).has_value());
  EXPECT_TRUE(sink.sizes.empty());
}

TEST(Embed, LargeStoreIsEncodedInPlace) {
  std::string store(300001, '\0');
  for (std::size_t i = 0; i < store.size(); ++i) store[i] = static_cast<char>(i * 131 % 251);
  const std::string page = "<html><head>\n<title>t</title>\n</head><body>text</body></html>";
  const Result<std::string> out = embed(page, store);
  ASSERT_TRUE(out.ok());
  const Result<ManifestAssociation> back = extract_association(out.value());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().store, store);
  std::string cut = out.value();
  cut.erase(back.value().start, back.value().length);
  EXPECT_EQ(cut, page);
}

}  // namespace
}  // namespace brevane
