// Attention plan variants: the distributed product grids of flash attention.
//
// A flash-attention plan runs two matrix products per key block, the
// query-key scores and the statistics-value product. Each may run as one
// product per tile or be spread over a grid of tiles; the pipeline's
// `attention_variants` setting selects which of these grids plan enumeration
// offers.
#pragma once

#include <vector>

#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/pipeline.hpp"

namespace vexa_codegen::mid::candidates::attention {

/// The attention plans that `plan` stands for under `config.attention_variants`
/// (s): a plan of another dispatch comes back alone; a plan with blocks of 64
/// comes back alone for s = 0 or 1 and is dropped for s = 2 or 3; a plan with
/// free block lengths comes back alone for s = 1 and otherwise as copies with
/// every combination of score grid and value grid that s allows (s = 0: every
/// grid or none for both; s = 2: score grids only; s = 3: value grids only).
/// Settings above 3 read as 0. Stops the program when a plan that needs grids
/// comes with fewer than three operands, an operand of rank below 3 or a zero
/// head count: only attention enumeration builds such plans, after checking.
[[nodiscard]] std::vector<operators::OperatorPlan> product_variants(
    const operators::OperatorPlan& plan, const std::vector<layout::TensorType>& operand_types,
    const PipelineConfig& config);

}  // namespace vexa_codegen::mid::candidates::attention
