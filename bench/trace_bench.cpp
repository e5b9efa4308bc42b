// The cost of watching a search: the same search with no observer (which must
// cost what a search cost before observers existed), with an observer that
// keeps the whole decision trace, and with the "why not" explanation. The
// number of events of one search is reported as a counter.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <utility>

#include "vexa_codegen/graph/builder.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/mid/optimistic/trace.hpp"
#include "vexa_codegen/mid/pipeline.hpp"

namespace vexa_codegen::bench {
namespace {

namespace search = mid::optimistic::search;
namespace trace = mid::optimistic::trace;

constexpr mid::optimistic::SearchLimits limits{.max_operations = 8,
                                                .beam_width = 16,
                                                .max_conversion_steps = 3,
                                                .max_conversion_paths = 8,
                                                .max_expansions = 2048,
                                                .max_fused_steps = 4};

// n = layer_norm(x, scale, bias), y = n @ w, z = gelu(y) + x on 16 tiles with
// the full catalogue; every input arrives in F16 in a layout of the search's choosing.
struct Residual {
  Residual() {
    using graph::TensorShape;
    const auto x = graph.input("x", false, TensorShape{{1, 32, 256}}).value();
    const auto scale = graph.input("scale", true, TensorShape{{1, 1, 256}}).value();
    const auto bias = graph.input("bias", true, TensorShape{{1, 1, 256}}).value();
    const auto w = graph.parameter("w", {256, 256}).value();
    const auto y = graph.gemm(graph.layer_norm(x, scale, bias).value(), w).value();
    const auto z = graph.add(graph.gelu(y).value(), x).value();
    graph.set_outputs({z}).value();
    for (const auto& input : graph.inputs()) {
      config = std::move(config).with_automatic_input(input.value, mid::layout::Precision::f16());
    }
    outputs.emplace(z, mid::layout::TensorFormat{mid::layout::Precision::f16(), mid::layout::Layout::row_sharded(16)});
  }

  auto plan(trace::SearchObserver* observer) const {
    return search::plan_graph(graph, config, outputs, limits, search::SearchOptions{.threads = 1, .observer = observer});
  }

  graph::ComputeGraph graph;
  mid::PipelineConfig config = mid::PipelineConfig::make(16);
  std::map<graph::ValueId, mid::layout::TensorFormat> outputs;
};

void BM_SearchWithoutObserver(benchmark::State& state) {
  const Residual residual;
  for (auto _ : state) {
    benchmark::DoNotOptimize(residual.plan(nullptr));
  }
}
BENCHMARK(BM_SearchWithoutObserver)->Unit(benchmark::kMillisecond);

void BM_SearchWithFullTrace(benchmark::State& state) {
  const Residual residual;
  std::size_t events = 0;
  for (auto _ : state) {
    trace::Recorder recorder;
    benchmark::DoNotOptimize(residual.plan(&recorder));
    events = recorder.events().size();
  }
  state.counters["events"] = static_cast<double>(events);
}
BENCHMARK(BM_SearchWithFullTrace)->Unit(benchmark::kMillisecond);

void BM_SearchWithExplanation(benchmark::State& state) {
  const Residual residual;
  for (auto _ : state) {
    trace::Explanation explanation;
    auto report = residual.plan(&explanation);
    if (report) {
      benchmark::DoNotOptimize(trace::why_not(explanation, *report));
    }
  }
}
BENCHMARK(BM_SearchWithExplanation)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vexa_codegen::bench
