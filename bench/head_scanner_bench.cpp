// Scanner and element-location throughput on seeded pages: an ordinary page, the
// same page without a head to stop at, and inputs built to hit the scanner's
// would-be quadratic corners: the tokenizer alone, the head bounds, and element
// location. Figures are printed, never asserted.
#include <benchmark/benchmark.h>
#include <cstddef>
#include <random>
#include <string>
#include <string_view>

#include "document/manifest_elements.h"
#include "scan/head_scanner.h"

namespace {

constexpr std::size_t kPageSize = 1 << 20;

std::string realistic_head() {
  std::string head =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Quarterly report &amp; outlook</title>\n"
      "<link rel=\"stylesheet\" href=\"/static/site.css?v=42\">\n"
      "<link rel=\"icon\" type=\"image/png\" href=\"/favicon.png\">\n"
      "<link rel=\"c2pa-manifest\" href=\"https://example.test/m.c2pa\">\n";
  for (int k = 0; k < 12; ++k) {
    head += "<meta property=\"og:field" + std::to_string(k) + "\" content=\"Some value, " +
            std::to_string(k * 7) + "\">\n";
  }
  head +=
      "<style>\nbody{margin:0;font:16px/1.4 sans-serif}\n.card>h2{color:#333}\n"
      "a[href^='http']:after{content:'>'}\n</style>\n<script>\n";
  for (int k = 0; k < 40; ++k) {
    head += "if (a < b && items.length > " + std::to_string(k) +
            ") { el.innerHTML = '<span class=\"x\">' + k + '</span>'; }\n";
  }
  head += "</script>\n</head>\n";
  return head;
}

std::string realistic_body(std::size_t size, std::mt19937& rng) {
  static constexpr std::string_view kWords[] = {
      "the",         "report",       "shows",   "growth", "in",      "every", "region", "while",
      "costs",       "fell",         "sharply", "during", "quarter", "three", "and",    "&amp;",
      "caf\xC3\xA9", "\xE2\x80\x94", "data",    "users",  "a",       "<",     "b"};
  std::uniform_int_distribution<int> kind(0, 9);
  std::uniform_int_distribution<std::size_t> word(0, std::size(kWords) - 1);
  std::uniform_int_distribution<int> count(3, 40);
  std::string body = "<body class=\"page\">\n";
  int id = 0;
  while (body.size() < size) {
    ++id;
    switch (kind(rng)) {
      case 0:
        body += "<div class=\"card card-" + std::to_string(id % 17) + "\" id=\"c" +
                std::to_string(id) + "\" data-x='1'>\n";
        break;
      case 1:
        body += "</div>\n";
        break;
      case 2:
        body += "<a href=\"/articles/" + std::to_string(id) +
                "?ref=home&amp;x=1\" title=\"Read more\">more</a> ";
        break;
      case 3:
        body += "<img src=\"/img/" + std::to_string(id) +
                ".jpg\" alt=\"photo\" width=640 height=480 loading=lazy>\n";
        break;
      case 4:
        body += "<!-- section " + std::to_string(id) + " -->\n";
        break;
      case 5:
        body += "<script>window.q=(window.q||[]).concat([" + std::to_string(id) +
                "]);if(q.length<3){}</script>\n";
        break;
      default: {
        body += "<p>";
        for (int w = count(rng); w > 0; --w) {
          body += kWords[word(rng)];
          body += ' ';
        }
        body += "<em>note</em></p>\n";
      }
    }
  }
  body += "</body>\n</html>\n";
  return body;
}

const std::string& realistic_page() {
  static const std::string page = [] {
    std::mt19937 rng(7);
    const std::string head = realistic_head();
    return head + realistic_body(kPageSize - head.size(), rng);
  }();
  return page;
}

// The same body with no <html> and no <head>: streaming location has no head
// start tag to anchor on and must read to the end.
const std::string& headless_page() {
  static const std::string page = [] {
    std::mt19937 rng(7);
    std::string head = realistic_head();
    const std::size_t open = head.find("<head>");
    head = head.substr(open + 7, head.find("</head>") - open - 7);
    return head + realistic_body(kPageSize - head.size(), rng);
  }();
  return page;
}

const std::string& many_attributes() {
  static const std::string page = [] {
    std::string tag = "<head><link";
    for (int k = 0; tag.size() < kPageSize; ++k) tag += " a" + std::to_string(k) + "=v";
    return tag + " rel=c2pa-manifest></head>";
  }();
  return page;
}

// The same attribute density as many_attributes, spread over tags of eight: the
// per-attribute cost of an ordinary tag, for comparison.
const std::string& many_small_tags() {
  static const std::string page = [] {
    std::string tags = "<head>";
    for (int k = 0; tags.size() < kPageSize; ++k) {
      tags += k % 8 == 0 ? "><link" : "";
      tags += " a" + std::to_string(k) + "=v";
    }
    return tags + "></head>";
  }();
  return page;
}

std::string repeated(std::string_view prefix, std::string_view unit, std::string_view suffix) {
  std::string out(prefix);
  while (out.size() < kPageSize) out += unit;
  out += suffix;
  return out;
}

const std::string& unclosed_tags() {
  static const std::string page = repeated("<head>", "<a ", "");
  return page;
}
const std::string& unclosed_tags_no_space() {
  static const std::string page = repeated("<head>", "<a", "");
  return page;
}
const std::string& comments() {
  static const std::string page = repeated("<head>", "<!--x--><!---->", "");
  return page;
}
const std::string& unclosed_comment() {
  static const std::string page = repeated("<head><!--", "-- -!<!--", "");
  return page;
}
const std::string& declarations() {
  static const std::string page = repeated("", "<!x><?y>", "");
  return page;
}
const std::string& raw_text_near_misses() {
  static const std::string page = repeated("<head><script>", "</scrip</</s", "</script></head>");
  return page;
}

using PageFn = const std::string& (*)();

// Pulls every token without keeping them: the cost of the scan alone.
void bm_scan_tags(benchmark::State& state, PageFn page_fn) {
  const std::string& page = page_fn();
  for (auto _ : state) {
    std::size_t count = 0;
    brevane::scan_tags(page, [&count](const brevane::TagToken&) {
      ++count;
      return true;
    });
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

// Embedding's rescan of its output: the bounds alone, no visitor.
void bm_find_head_bounds(benchmark::State& state, PageFn page_fn) {
  const std::string& page = page_fn();
  for (auto _ : state) {
    auto bounds = brevane::find_head_bounds(page);
    benchmark::DoNotOptimize(bounds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

void bm_locate(benchmark::State& state, PageFn page_fn) {
  const std::string& page = page_fn();
  for (auto _ : state) {
    auto elements = brevane::locate_manifest_elements(page);
    benchmark::DoNotOptimize(elements.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}

#define BREVANE_PAGE_BENCHES(page)                     \
  BENCHMARK_CAPTURE(bm_scan_tags, page, &page);        \
  BENCHMARK_CAPTURE(bm_find_head_bounds, page, &page); \
  BENCHMARK_CAPTURE(bm_locate, page, &page)

BREVANE_PAGE_BENCHES(realistic_page);
BREVANE_PAGE_BENCHES(headless_page);
BREVANE_PAGE_BENCHES(many_attributes);
BREVANE_PAGE_BENCHES(many_small_tags);
BREVANE_PAGE_BENCHES(unclosed_tags);
BREVANE_PAGE_BENCHES(unclosed_tags_no_space);
BREVANE_PAGE_BENCHES(comments);
BREVANE_PAGE_BENCHES(unclosed_comment);
BREVANE_PAGE_BENCHES(declarations);
BREVANE_PAGE_BENCHES(raw_text_near_misses);

}  // namespace

BENCHMARK_MAIN();
