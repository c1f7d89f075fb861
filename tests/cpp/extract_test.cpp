// Extraction and its validating twin over one table: the association (kind,
// range, payload) or the exact error, with the count judged before the payload.
#include "document/extract.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <string_view>

#include "support/reference.h"

namespace brevane {
namespace {

using namespace std::string_literals;

constexpr std::string_view kOpen = "<script type=\"application/c2pa\">";

std::string script(std::string_view content) {
  return std::string(kOpen) + std::string(content) + "</script>";
}
std::string in_head(std::string_view element) {
  return "<head>" + std::string(element) + "</head>";
}

ManifestAssociation embedded(std::uint64_t start, std::uint64_t length, std::string store) {
  return {ElementKind::Embedded, start, length, std::move(store), {}};
}
ManifestAssociation referenced(std::uint64_t start, std::uint64_t length, std::string href) {
  return {ElementKind::Referenced, start, length, {}, std::move(href)};
}

struct Case {
  std::string name;
  std::string html;
  std::optional<ManifestAssociation> association;
  std::optional<DocumentError> error;
};

Case ok(std::string name, std::string html, ManifestAssociation association) {
  return {std::move(name), std::move(html), std::move(association), std::nullopt};
}
Case fails(std::string name, std::string html, DocumentError error) {
  return {std::move(name), std::move(html), std::nullopt, error};
}

const DocumentError kNotBase64 = DocumentError::malformed(MalformedCause::ScriptNotBase64);
const DocumentError kNoHref = DocumentError::malformed(MalformedCause::LinkWithoutHref);

std::vector<Case> cases() {
  std::vector<Case> all = {
      ok("inline", in_head(script("QUJD")), embedded(6, 45, "ABC")),
      ok("whitespace around the text", in_head(script("\n  QUJD\r\n")), embedded(6, 50, "ABC")),
      ok("tabs and form feeds trimmed", in_head(script("\t\fQUI=\f\t")), embedded(6, 49, "AB")),
      ok("empty script", in_head(script("")), embedded(6, 41, "")),
      ok("whitespace only", in_head(script(" \n\t\r\f ")), embedded(6, 47, "")),
      ok("one byte", in_head(script("QQ==")), embedded(6, 45, "A")),
      ok("never closed", "<head>"s + std::string(kOpen) + "QUJD", embedded(6, 36, "ABC")),
      ok("link", in_head(R"(<link rel="c2pa-manifest" href="stores/page-1">)"),
         referenced(6, 47, "stores/page-1")),
      ok("href keeps references", in_head("<link rel=c2pa-manifest href=\"a&amp;b\">"),
         referenced(6, 39, "a&amp;b")),
      ok("href of one space", in_head("<link rel=c2pa-manifest href=\" \">"),
         referenced(6, 33, " ")),
      ok("ill-formed href replaced", in_head("<link rel=c2pa-manifest href=\"a\xFF\">"),
         referenced(6, 34, "a\xEF\xBF\xBD")),
      ok("element after indentation", "<html><head>\n  " + script("QUJD") + "\n</head>",
         embedded(15, 45, "ABC")),

      fails("no element", "<html><head><title>t</title></head><body></body></html>",
            DocumentError::no_manifest()),
      fails("empty document", "", DocumentError::no_manifest()),
      fails("script in the body", "<head></head><body>" + script("QUJD") + "</body>",
            DocumentError::no_manifest()),
      fails("unclosed script swallows the head end", "<head>"s + std::string(kOpen) + "QUJD</head>",
            kNotBase64),
      fails("line break inside", in_head(script("QUJD\nRUZH")), kNotBase64),
      fails("length 3", in_head(script("QUI")), kNotBase64),
      fails("leftover bits", in_head(script("QUJ=")), kNotBase64),
      fails("surplus padding", in_head(script("QUJD====")), kNotBase64),
      fails("padding in the middle", in_head(script("QQ==QUJD")), kNotBase64),
      fails("vertical tab is not trimmed", in_head(script("\vQUJD")), kNotBase64),
      fails("url-safe letters", in_head(script("ab-_")), kNotBase64),
      fails("no href", in_head("<link rel=c2pa-manifest>"), kNoHref),
      fails("empty href", in_head("<link rel=c2pa-manifest href=\"\">"), kNoHref),
      fails("bare href", in_head("<link rel=c2pa-manifest href>"), kNoHref),
      fails("valid script and link without href",
            in_head(script("QUJD") + "<link rel=c2pa-manifest>"),
            DocumentError::multiple_manifests()),
      fails("two broken scripts", in_head(script("!!") + script("?")),
            DocumentError::multiple_manifests()),
      fails("two links", in_head("<link rel=c2pa-manifest href=a><link rel=c2pa-manifest href=b>"),
            DocumentError::multiple_manifests()),
  };
  return all;
}

TEST(Extract, AssociationOrError) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const Result<ManifestAssociation> result = extract_association(c.html);
    if (c.error) {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error(), *c.error);
      EXPECT_EQ(result.error().message(), c.error->message());
    } else {
      ASSERT_TRUE(result.ok()) << result.error().message();
      EXPECT_EQ(result.value(), *c.association);
    }
  }
}

// The data hash relies on this twin: same verdict, same range, nothing decoded.
TEST(CheckAssociation, AgreesWithExtract) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    const Result<AssociationRange> result = check_association(c.html);
    if (c.error) {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error(), *c.error);
    } else {
      ASSERT_TRUE(result.ok()) << result.error().message();
      const AssociationRange expected{c.association->kind,
                                      {c.association->start, c.association->length}};
      EXPECT_EQ(result.value(), expected);
    }
  }
}

TEST(Extract, MessagesOfTheMalformedDetails) {
  const Result<ManifestAssociation> base64 = extract_association(in_head(script("QUI")));
  ASSERT_FALSE(base64.ok());
  EXPECT_EQ(base64.error().message(),
            "the C2PA manifest element is malformed: script content is not valid Base64");
  const Result<ManifestAssociation> href = extract_association(in_head("<link rel=c2pa-manifest>"));
  ASSERT_FALSE(href.ok());
  EXPECT_EQ(href.error().message(),
            "the C2PA manifest element is malformed: link has no href to resolve");
}

TEST(Extract, LargeStoreRoundTrips) {
  std::string store;
  for (int i = 0; i < 100000; ++i) store.push_back(static_cast<char>(i * 7 + i / 255));
  const std::string html = "<html><head>" + script(support::base64_text(store)) + "</head>";
  const Result<ManifestAssociation> result = extract_association(html);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.value().store, store);
  EXPECT_EQ(result.value().length, html.size() - 12 - 7);
}

}  // namespace
}  // namespace brevane
