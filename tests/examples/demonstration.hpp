// The demonstration driver's fixed example, built in-process: a layer
// normalisation of x [1, 8, 128] with parameter scale and bias [1, 1, 128]
// feeding two matrix products with the [128, 128] parameters w0 and w1, on a
// 64-tile pipeline whose only matrix-product plans are the 8-bit family; every
// input arrives in F16 with a layout of the search's choosing, and both
// products leave row-sharded over the 64 tiles in F16.
#pragma once

#include <cstdint>
#include <expected>
#include <utility>

#include "vexa_codegen/graph/builder.hpp"
#include "vexa_codegen/mid/catalogue.hpp"
#include "vexa_codegen/mid/optimistic/search.hpp"
#include "vexa_codegen/mid/pipeline.hpp"

namespace vexa_codegen::examples {

/// The demonstration's search limits.
inline constexpr mid::optimistic::SearchLimits demonstration_limits{.max_operations = 8,
                                                                    .beam_width = 16,
                                                                    .max_conversion_steps = 3,
                                                                    .max_conversion_paths = 8,
                                                                    .max_expansions = 2048,
                                                                    .max_fused_steps = 4};

/// The demonstration's search, priced on `threads` worker threads (0: the machine's).
inline std::expected<mid::optimistic::SearchReport, mid::optimistic::SearchError> plan_demonstration(
    std::uint16_t threads) {
  using graph::TensorShape;
  using graph::ValueId;
  using mid::catalogue::OperatorCandidate;
  using mid::layout::Layout;
  using mid::layout::Precision;
  using mid::layout::TensorFormat;

  graph::ComputeGraph graph;
  const ValueId x = graph.input("x", false, TensorShape{{1, 8, 128}}).value();
  const ValueId scale = graph.input("scale", true, TensorShape{{1, 1, 128}}).value();
  const ValueId bias = graph.input("bias", true, TensorShape{{1, 1, 128}}).value();
  const ValueId normalised = graph.layer_norm(x, scale, bias).value();
  const ValueId w0 = graph.parameter("w0", {128, 128}).value();
  const ValueId w1 = graph.parameter("w1", {128, 128}).value();
  const ValueId first = graph.gemm(normalised, w0).value();
  const ValueId second = graph.gemm(normalised, w1).value();
  graph.set_outputs({first, second}).value();

  mid::PipelineConfig config = mid::PipelineConfig::make(64);
  for (const auto& input : graph.inputs()) {
    config = std::move(config).with_automatic_input(input.value, Precision::f16());
  }
  std::erase_if(config.operator_candidates, [](const OperatorCandidate& candidate) {
    const auto* concrete = candidate.get_if<OperatorCandidate::Concrete>();
    return concrete == nullptr || concrete->candidate.plan.operator_.is<mid::operators::MidOperator::Gemm>();
  });
  config.operator_candidates.push_back(OperatorCandidate::gemm_family(
      {graph::GemmOptions{false, false}, Precision::f8f143(-4), mid::operators::AccumulationPrecision::F16, 64}));

  const TensorFormat output{Precision::f16(), Layout::row_sharded(64)};
  return mid::optimistic::search::plan_graph(graph, config, {{first, output}, {second, output}},
                                             demonstration_limits,
                                             mid::optimistic::search::SearchOptions{.threads = threads});
}

}  // namespace vexa_codegen::examples
