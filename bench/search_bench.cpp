// Whole searches: the demonstration graph and a transformer encoder block,
// with the plans tried and the hit rates of the search's two caches as
// counters. The encoder block's wide search runs on 1 and on 2 worker threads
// and reports the peak resident memory of the process while it searches.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "graphs.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"

namespace vexa_codegen::bench {
namespace {

namespace search = mid::optimistic::search;

// The process's peak resident memory in bytes since the last `reset_peak_memory`
// (Linux: VmHWM), or 0 where the system does not say.
std::uint64_t peak_memory() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::stoull(line.substr(6)) * 1024;
    }
  }
  return 0;
}

// Restarts the peak that `peak_memory` reads from the current resident size.
void reset_peak_memory() {
  if (std::FILE* file = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", file);
    std::fclose(file);
  }
}

double rate(std::size_t hits, std::size_t requests) {
  return requests == 0 ? 0.0 : static_cast<double>(hits) / static_cast<double>(requests);
}

void plan(benchmark::State& state, const Problem& problem, const mid::optimistic::SearchLimits& limits,
          std::uint16_t threads) {
  search::SearchStatistics statistics;
  std::size_t expanded = 0;
  reset_peak_memory();
  for (auto _ : state) {
    auto report = search::plan_graph(problem.graph, problem.config, problem.outputs, limits,
                                     search::SearchOptions{.threads = threads, .statistics = &statistics});
    if (!report) {
      state.SkipWithError(mid::optimistic::dump(report.error()).c_str());
      return;
    }
    expanded = report->expanded;
    benchmark::DoNotOptimize(report);
  }
  state.counters["expanded"] = static_cast<double>(expanded);
  state.counters["cost_model_hit_rate"] = rate(statistics.program_hits, statistics.program_requests);
  state.counters["conversion_hit_rate"] = rate(statistics.conversion_hits, statistics.conversion_lookups);
  state.counters["peak_rss_mb"] = static_cast<double>(peak_memory()) / (1024.0 * 1024.0);
}

void BM_PlanDemonstration(benchmark::State& state) {
  static const Problem problem = demonstration();
  plan(state, problem, driver_limits, 0);
}
BENCHMARK(BM_PlanDemonstration)->Unit(benchmark::kMillisecond);

void BM_PlanEncoderBlock(benchmark::State& state) {
  static const Problem problem = encoder_block();
  plan(state, problem, limits_for(problem), 0);
}
BENCHMARK(BM_PlanEncoderBlock)->Unit(benchmark::kMillisecond);

// The wide search: 8192 plans and a beam of 32, on `state.range(0)` threads.
void BM_PlanEncoderBlockWide(benchmark::State& state) {
  static const Problem problem = encoder_block();
  auto limits = limits_for(problem);
  limits.max_expansions = 8192;
  limits.beam_width = 32;
  plan(state, problem, limits, static_cast<std::uint16_t>(state.range(0)));
}
BENCHMARK(BM_PlanEncoderBlockWide)->ArgName("threads")->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vexa_codegen::bench
