// What the C ABI costs over the C++ API: each of the eight operations called
// both ways on the same page, a 1 KB page and a 1 MB page, each with an inline
// manifest, through libbrevane.so as a host links it. After the runs a table
// gives each operation's C time over its C++ time (medians when repetitions are
// asked for). Figures are printed, never asserted.
//   build/bench/bench/api_bench --benchmark_repetitions=7 --benchmark_report_aggregates_only
#include <array>
#include <benchmark/benchmark.h>
#include <brevane.h>
#include <brevane/brevane.hpp>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// A page of about `size` bytes: a head with a 1 KB store inline, then paragraphs.
std::string page_of(std::size_t size) {
  const std::string bare =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>A page</title>\n<link rel=\"stylesheet\" href=\"/site.css\">\n</head>\n<body>\n";
  std::string body;
  for (int k = 0; bare.size() + body.size() < size; ++k) {
    body += "<p class=\"c" + std::to_string(k % 7) + "\">Some text, <a href=\"/a/" +
            std::to_string(k) + "\">a link</a> &amp; more.</p>\n";
  }
  const auto page = brevane::embed(bare + body + "</body>\n</html>\n", std::string(256, 's'));
  return page.value();
}

const std::string& page(std::int64_t size) {
  static std::map<std::int64_t, std::string> pages;
  auto [it, made] = pages.try_emplace(size);
  if (made) it->second = page_of(static_cast<std::size_t>(size));
  return it->second;
}

constexpr std::int64_t kSmall = 1 << 10;
constexpr std::int64_t kLarge = 1 << 20;

template <class Call>
void run(benchmark::State& state, Call&& call) {
  const std::string& html = page(state.range(0));
  for (auto _ : state) call(html);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
}

void cpp_locate_all(benchmark::State& state) {
  run(state, [](const std::string& html) {
    auto ranges = brevane::locate_all(html);
    benchmark::DoNotOptimize(ranges);
  });
}
void c_locate_all(benchmark::State& state) {
  run(state, [](const std::string& html) {
    std::array<brevane_range, 4> ranges{};
    std::size_t count = 0;
    benchmark::DoNotOptimize(
        brevane_locate_all(html.data(), html.size(), ranges.data(), 4, &count, nullptr));
    benchmark::DoNotOptimize(ranges);
  });
}

void cpp_extract(benchmark::State& state) {
  run(state, [](const std::string& html) {
    auto association = brevane::extract(html);
    benchmark::DoNotOptimize(association);
  });
}
void c_extract(benchmark::State& state) {
  run(state, [](const std::string& html) {
    brevane_association association;
    benchmark::DoNotOptimize(brevane_extract(html.data(), html.size(), &association, nullptr));
    brevane_free(association.payload);
  });
}

void cpp_remove(benchmark::State& state) {
  run(state, [](const std::string& html) {
    auto document = brevane::remove(html);
    benchmark::DoNotOptimize(document);
  });
}
void c_remove(benchmark::State& state) {
  run(state, [](const std::string& html) {
    brevane_owned_string document;
    benchmark::DoNotOptimize(brevane_remove(html.data(), html.size(), &document, nullptr));
    brevane_free(document);
  });
}

void cpp_embed(benchmark::State& state) {
  run(state, [](const std::string& html) {
    auto document = brevane::embed(html, "a store");
    benchmark::DoNotOptimize(document);
  });
}
void c_embed(benchmark::State& state) {
  run(state, [](const std::string& html) {
    brevane_owned_string document;
    benchmark::DoNotOptimize(
        brevane_embed(html.data(), html.size(), "a store", 7, &document, nullptr));
    brevane_free(document);
  });
}

void cpp_embed_reference(benchmark::State& state) {
  run(state, [](const std::string& html) {
    auto document = brevane::embed_reference(html, "m.c2pa");
    benchmark::DoNotOptimize(document);
  });
}
void c_embed_reference(benchmark::State& state) {
  run(state, [](const std::string& html) {
    brevane_owned_string document;
    benchmark::DoNotOptimize(
        brevane_embed_reference(html.data(), html.size(), "m.c2pa", 6, &document, nullptr));
    brevane_free(document);
  });
}

void cpp_compute_data_hash(benchmark::State& state) {
  run(state, [](const std::string& html) {
    auto binding = brevane::compute_data_hash(html);
    benchmark::DoNotOptimize(binding);
  });
}
void c_compute_data_hash(benchmark::State& state) {
  run(state, [](const std::string& html) {
    brevane_binding binding;
    benchmark::DoNotOptimize(
        brevane_compute_data_hash(html.data(), html.size(), nullptr, 0, &binding, nullptr));
    benchmark::DoNotOptimize(binding);
  });
}

void cpp_verify_data_hash(benchmark::State& state) {
  const auto binding = brevane::compute_data_hash(page(state.range(0))).value();
  run(state, [&](const std::string& html) {
    auto verdict = brevane::verify_data_hash(html, binding.hash, binding.exclusions);
    benchmark::DoNotOptimize(verdict);
  });
}
void c_verify_data_hash(benchmark::State& state) {
  brevane_binding binding;
  const std::string& html = page(state.range(0));
  brevane_compute_data_hash(html.data(), html.size(), nullptr, 0, &binding, nullptr);
  run(state, [&](const std::string& page_bytes) {
    benchmark::DoNotOptimize(brevane_verify_data_hash(
        page_bytes.data(), page_bytes.size(), binding.hash.bytes, binding.hash.length,
        binding.exclusions, binding.exclusion_count, nullptr, 0, nullptr));
  });
}

void cpp_inline_hash_before_embed(benchmark::State& state) {
  run(state, [](const std::string& html) {
    auto digest = brevane::inline_hash_before_embed(html);
    benchmark::DoNotOptimize(digest);
  });
}
void c_inline_hash_before_embed(benchmark::State& state) {
  run(state, [](const std::string& html) {
    brevane_digest digest;
    benchmark::DoNotOptimize(
        brevane_inline_hash_before_embed(html.data(), html.size(), nullptr, 0, &digest, nullptr));
    benchmark::DoNotOptimize(digest);
  });
}

#define BREVANE_BOTH(op)                                       \
  BENCHMARK(cpp_##op)->Arg(kSmall)->Arg(kLarge)->MinTime(0.2); \
  BENCHMARK(c_##op)->Arg(kSmall)->Arg(kLarge)->MinTime(0.2)

BREVANE_BOTH(locate_all);
BREVANE_BOTH(extract);
BREVANE_BOTH(remove);
BREVANE_BOTH(embed);
BREVANE_BOTH(embed_reference);
BREVANE_BOTH(compute_data_hash);
BREVANE_BOTH(verify_data_hash);
BREVANE_BOTH(inline_hash_before_embed);

// Keeps each run's CPU time per iteration (the median when there are
// repetitions) under "op/size" for the table at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      std::string name = run.benchmark_name();
      // "cpp_embed/1024/min_time:0.200_median" is kept as "cpp_embed/1024".
      const std::size_t cut = name.find("/min_time");
      if (cut != std::string::npos) name.erase(cut);
      times[name] = run.GetAdjustedCPUTime();
    }
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n%-34s %12s %12s %8s\n", "C ABI over C++ API", "C++ ns", "C ns", "ratio");
  for (const auto& [name, cpp_time] : reporter.times) {
    if (name.rfind("cpp_", 0) != 0) continue;
    const auto c = reporter.times.find("c_" + name.substr(4));
    if (c == reporter.times.end()) continue;
    std::printf("%-34s %12.0f %12.0f %8.3f\n", name.substr(4).c_str(), cpp_time, c->second,
                c->second / cpp_time);
  }
  benchmark::Shutdown();
  return 0;
}
