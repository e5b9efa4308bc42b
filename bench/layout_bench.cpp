// Layout resolution, conversion traffic and conversion-path enumeration.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "graphs.hpp"
#include "vexa_codegen/estimate/traffic.hpp"
#include "vexa_codegen/mid/optimistic/conversion.hpp"
#include "vexa_codegen/mid/resolved.hpp"

namespace vexa_codegen::bench {
namespace {

using graph::TensorShape;
using mid::layout::Layout;
using mid::layout::Precision;
using mid::layout::TensorFormat;
using mid::layout::TensorType;

const TensorShape activation{{1, 1024, 2048}};

// A product result over a square grid of `state.range(0)` tiles (64 or 1024).
void BM_ResolveLayout(benchmark::State& state) {
  const auto tiles = static_cast<std::uint16_t>(state.range(0));
  const auto side = static_cast<std::uint16_t>(tiles == 64 ? 8 : 32);
  const Layout layout = Layout::amp_output_grid(64, tiles, side, side, false);
  for (auto _ : state) {
    auto resolved = layout.resolve(activation);
    if (!resolved) {
      state.SkipWithError("the layout does not resolve");
      return;
    }
    benchmark::DoNotOptimize(resolved);
  }
}
BENCHMARK(BM_ResolveLayout)->ArgName("tiles")->Arg(64)->Arg(1024);

// Rows over 64 tiles to an 8 x 8 product grid.
void BM_ConversionTraffic(benchmark::State& state) {
  const TensorShape shape{{1, 256, 512}};
  const Layout source = Layout::row_sharded(64);
  const Layout target = Layout::amp_output_grid(64, 64, 8, 8, false);
  for (auto _ : state) {
    auto traffic = estimate::traffic::conversion_traffic(shape, Precision::f16(), source, target);
    if (!traffic) {
      state.SkipWithError("a layout does not fit the shape");
      return;
    }
    benchmark::DoNotOptimize(traffic);
  }
}
BENCHMARK(BM_ConversionTraffic)->Unit(benchmark::kMicrosecond);

// F16 rows over 64 tiles to an 8-bit left operand on an 8 x 8 grid: casts,
// packs and a redistribution, combined into paths of up to three steps.
void BM_ConversionPaths(benchmark::State& state) {
  const TensorShape shape{{1, 256, 512}};
  const TensorType source{shape, TensorFormat{Precision::f16(), Layout::row_sharded(64)}};
  const TensorType target{shape, TensorFormat{Precision::f8f143(-4), Layout::amp_left_result_grid(64, 64, 8, 8, false)}};
  std::size_t paths = 0;
  for (auto _ : state) {
    auto found = mid::optimistic::conversion::enumerate_conversions(source, target, 64, driver_limits);
    if (!found) {
      state.SkipWithError("the endpoints were refused");
      return;
    }
    paths = found->size();
    benchmark::DoNotOptimize(found);
  }
  state.counters["paths"] = static_cast<double>(paths);
}
BENCHMARK(BM_ConversionPaths)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vexa_codegen::bench
