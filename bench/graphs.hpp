// The planning problems the search benchmarks solve: the demonstration
// driver's graph with its configuration, and a transformer encoder block.
#pragma once

#include <cstddef>
#include <map>

#include "vexa_codegen/graph/builder.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/optimistic/types.hpp"
#include "vexa_codegen/mid/pipeline.hpp"

namespace vexa_codegen::bench {

/// A whole graph to plan: the graph, its configuration and its output formats.
struct Problem {
  graph::ComputeGraph graph;
  mid::PipelineConfig config;
  std::map<graph::ValueId, mid::layout::TensorFormat> outputs;
};

/// The demonstration driver's search limits.
inline constexpr mid::optimistic::SearchLimits driver_limits{.max_operations = 8,
                                                             .beam_width = 16,
                                                             .max_conversion_steps = 3,
                                                             .max_conversion_paths = 8,
                                                             .max_expansions = 2048,
                                                             .max_fused_steps = 4};

/// The demonstration driver's problem: a layer normalisation of x [1, 8, 128]
/// feeding two products with [128, 128] weights on 64 tiles, whose only
/// matrix-product plans are the 8-bit family; both products leave row-sharded
/// in F16.
[[nodiscard]] Problem demonstration();

/// The transformer encoder block of examples/graphs/encoder_block.json on 8
/// tiles with the default catalogue, every input arriving in F16 with a layout
/// of the search's choosing and the block's output leaving row-sharded in F16.
/// With x [1, 16, 64], two heads of width 32 and an MLP of width 128: layer
/// norm; the query, key and value products; three head-split views; flash
/// attention; the head-merge view; the output product; the residual add; layer
/// norm; the MLP's first product, its bias add and GELU; its second product;
/// the residual add (17 operations).
[[nodiscard]] Problem encoder_block();

/// The driver's limits with `max_operations` raised to the operation count of
/// `problem`, so that the whole graph is one region.
[[nodiscard]] mid::optimistic::SearchLimits limits_for(const Problem& problem);

}  // namespace vexa_codegen::bench
