#include "graphs.hpp"

#include <cstdio>
#include <cstdlib>
#include <expected>
#include <string>
#include <utility>

#include "vexa_codegen/mid/catalogue.hpp"

namespace vexa_codegen::bench {
namespace {

using graph::GemmOptions;
using graph::TensorShape;
using graph::ValueId;
using mid::layout::Layout;
using mid::layout::Precision;
using mid::layout::TensorFormat;

// The value of a builder call; a benchmark whose graph cannot be built is broken.
template <class T>
T built(std::expected<T, graph::GraphError> result) {
  if (!result) {
    std::fprintf(stderr, "benchmark graph: %s\n", graph::dump(result.error()).c_str());
    std::abort();
  }
  return std::move(*result);
}

void built(std::expected<void, graph::GraphError> result) {
  if (!result) {
    std::fprintf(stderr, "benchmark graph: %s\n", graph::dump(result.error()).c_str());
    std::abort();
  }
}

mid::PipelineConfig automatic_f16_inputs(const graph::ComputeGraph& graph, std::uint16_t tiles) {
  auto config = mid::PipelineConfig::make(tiles);
  for (const auto& input : graph.inputs()) {
    config = std::move(config).with_automatic_input(input.value, Precision::f16());
  }
  return config;
}

const TensorFormat f16_rows_64{Precision::f16(), Layout::row_sharded(64)};

}  // namespace

Problem demonstration() {
  Problem problem;
  auto& g = problem.graph;
  const ValueId x = built(g.input("x", false, TensorShape{{1, 8, 128}}));
  const ValueId scale = built(g.input("scale", true, TensorShape{{1, 1, 128}}));
  const ValueId bias = built(g.input("bias", true, TensorShape{{1, 1, 128}}));
  const ValueId normalised = built(g.layer_norm(x, scale, bias));
  const ValueId w0 = built(g.parameter("w0", {128, 128}));
  const ValueId w1 = built(g.parameter("w1", {128, 128}));
  const ValueId first = built(g.gemm(normalised, w0));
  const ValueId second = built(g.gemm(normalised, w1));
  built(g.set_outputs({first, second}));

  problem.config = automatic_f16_inputs(g, 64);
  using mid::catalogue::OperatorCandidate;
  std::erase_if(problem.config.operator_candidates, [](const OperatorCandidate& candidate) {
    const auto* concrete = candidate.get_if<OperatorCandidate::Concrete>();
    return concrete == nullptr || concrete->candidate.plan.operator_.is<mid::operators::MidOperator::Gemm>();
  });
  problem.config.operator_candidates.push_back(OperatorCandidate::gemm_family(
      {GemmOptions{false, false}, Precision::f8f143(-4), mid::operators::AccumulationPrecision::F16, 64}));
  problem.outputs = {{first, f16_rows_64}, {second, f16_rows_64}};
  return problem;
}

Problem encoder_block() {
  constexpr std::uint32_t tokens = 16;
  constexpr std::uint32_t width = 64;
  constexpr std::uint32_t heads = 2;
  constexpr std::uint32_t hidden = 128;

  Problem problem;
  auto& g = problem.graph;
  const auto vector = [&](const char* name, std::uint32_t extent) {
    return built(g.input(name, true, TensorShape{{1, 1, extent}}));
  };
  const ValueId x = built(g.input("x", false, TensorShape{{1, tokens, width}}));
  const ValueId ln1_scale = vector("ln1_scale", width);
  const ValueId ln1_bias = vector("ln1_bias", width);
  const ValueId wq = built(g.parameter("wq", {width, width}));
  const ValueId wk = built(g.parameter("wk", {width, width}));
  const ValueId wv = built(g.parameter("wv", {width, width}));
  const ValueId wo = built(g.parameter("wo", {width, width}));
  const ValueId ln2_scale = vector("ln2_scale", width);
  const ValueId ln2_bias = vector("ln2_bias", width);
  const ValueId w_up = built(g.parameter("w_up", {width, hidden}));
  const ValueId b_up = vector("b_up", hidden);
  const ValueId w_down = built(g.parameter("w_down", {hidden, width}));

  const graph::view::AxisFactorView split_heads{.split_axis = 2, .merge_axis = 0, .factor = heads, .reversed = false};
  graph::view::AxisFactorView merge_heads = split_heads;
  merge_heads.reversed = true;

  const ValueId ln1 = built(g.layer_norm(x, ln1_scale, ln1_bias));
  const ValueId q = built(g.gemm(ln1, wq));
  const ValueId k = built(g.gemm(ln1, wk));
  const ValueId v = built(g.gemm(ln1, wv));
  const ValueId q_heads = built(g.view(q, split_heads));
  const ValueId k_heads = built(g.view(k, split_heads));
  const ValueId v_heads = built(g.view(v, split_heads));
  const ValueId attended = built(g.flash_attention(q_heads, k_heads, v_heads, graph::AttentionOptions{}));
  const ValueId merged = built(g.view(attended, merge_heads));
  const ValueId projected = built(g.gemm(merged, wo));
  const ValueId residual1 = built(g.add(x, projected));
  const ValueId ln2 = built(g.layer_norm(residual1, ln2_scale, ln2_bias));
  const ValueId up = built(g.gemm(ln2, w_up));
  const ValueId up_biased = built(g.add(up, b_up));
  const ValueId activated = built(g.gelu(up_biased));
  const ValueId down = built(g.gemm(activated, w_down));
  const ValueId out = built(g.add(residual1, down));
  built(g.set_outputs({out}));

  problem.config = automatic_f16_inputs(g, 8);
  problem.outputs = {{out, TensorFormat{Precision::f16(), Layout::row_sharded(8)}}};
  return problem;
}

mid::optimistic::SearchLimits limits_for(const Problem& problem) {
  auto limits = driver_limits;
  limits.max_operations = problem.graph.operations().size();
  return limits;
}

}  // namespace vexa_codegen::bench
