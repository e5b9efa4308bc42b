// Lowering of layer normalisation with split moments.
//
// With p partials, every tile first computes p partial moment pairs over its
// slice of each row (one kernel), the partials are gathered onto every tile
// that holds a part of the row, and a second kernel normalises the row with the
// combined moments, the scale and the bias. Splitting the row lets a row be cut
// over several tiles along its last axis.
#pragma once

#include <optional>
#include <vector>

#include "vexa_codegen/mid/implementation.hpp"

namespace vexa_codegen::mid::implementation::layernorm {

/// Lowers a `LayerNorm { partials }` dispatch whose operands are the data (value
/// 0), the scale (value 1) and the bias (value 2): the three operands in their
/// pointwise tilings, a `LayerNormMoments` step writing 32-bit moments of shape
/// (output without its last extent, p, 2) on the output's grid, a direct move
/// that gathers the p partials of each row onto every tile of the row, and a
/// `LayerNormApply` step writing `output`.
///
/// Nothing when the dispatch is not `LayerNorm`, p is below 2, the output has no
/// axis or a last extent that is not a multiple of 4 x p, an operand has no
/// pointwise tiling, the output's tiling names an axis it does not have, or the
/// gathered replication exceeds 16 bits. Stops the process when one of the three
/// operands is missing.
[[nodiscard]] std::optional<MidValueId> layer_norm(Builder& builder, const OperatorPlan& plan,
                                                   const std::vector<TensorType>& inputs, const TensorType& output);

}  // namespace vexa_codegen::mid::implementation::layernorm
