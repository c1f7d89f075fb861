// Removal cuts exactly the located ranges: the bytes around a cut, whitespace
// included, stay, and the sink is asked once for the exact result size.
#include "document/remove.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <vector>

#include "edit_fixtures.h"
#include "support/reference.h"

namespace brevane {
namespace {

using support::remove;

using namespace std::string_literals;

using fixtures::kLink;
using fixtures::kScript;
using fixtures::RecordingSink;

struct Case {
  std::string name;
  std::string html;
  std::string expected;
};

std::vector<Case> cases() {
  return {
      {"indented element leaves its line", "<head>\n  " + kScript + "\n</head>",
       "<head>\n  \n</head>"},
      {"script and link, bytes between stay", "<head>" + kScript + " x " + kLink + "</head>",
       "<head> x </head>"},
      {"broken elements go too",
       "<head><link rel=c2pa-manifest><script type=application/c2pa>!!</script></head>",
       "<head></head>"},
      {"unclosed script runs to the end", "<head><script type=\"application/c2pa\">QUJD", "<head>"},
      {"body element stays", "<head></head><body>" + kScript + "</body>",
       "<head></head><body>" + kScript + "</body>"},
      {"no element", "<html><head><title>t</title></head><body></body></html>",
       "<html><head><title>t</title></head><body></body></html>"},
      {"element in a comment stays", "<head><!--" + kScript + "--></head>",
       "<head><!--" + kScript + "--></head>"},
      {"element at offset 0 without head", kScript + "tail", "tail"},
      {"adjacent elements", "<head>" + kLink + kScript + kLink + "</head>", "<head></head>"},
      {"empty document", "", ""},
      {"not markup at all", "\xFF\xFE<\x00>"s, "\xFF\xFE<\x00>"s},
  };
}

TEST(Remove, CutsExactlyTheElements) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(remove(c.html), c.expected);
  }
}

TEST(RemoveInto, AsksTheSinkOnceForTheExactSize) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    RecordingSink sink;
    remove_into(c.html, sink);
    EXPECT_EQ(sink.sizes, std::vector<std::uint64_t>{c.expected.size()});
    EXPECT_EQ(sink.bytes, c.expected);
  }
}

// Removal is a single pass: bytes that meet across a cut are not searched again,
// so a manifest element assembled from the two sides is left for the caller.
TEST(Remove, DoesNotRescanJoinedBytes) {
  const std::string html = "<head><" + kLink + "script type=application/c2pa>QUJD</script></head>";
  EXPECT_EQ(remove(html), "<head><script type=application/c2pa>QUJD</script></head>");
}

}  // namespace
}  // namespace brevane
