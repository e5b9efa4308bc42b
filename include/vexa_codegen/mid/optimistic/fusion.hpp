// Fusion of element-wise operator chains in a finished search candidate.
//
// Runs of `Add`, `Gelu` and `LayerNorm` operator steps that feed one another
// and produce tensors of one type are merged into single fused steps, so that
// the intermediate tensors only the run itself reads need no memory. A merged
// pair with a dedicated tile kernel (an `Add` feeding a `Gelu`: `BiasGelu`; an
// `Add` feeding a `LayerNorm`: `AddLayerNorm`) is priced with that kernel;
// every other group gets an optimistic discount recorded as a missing kernel.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/optimistic/types.hpp"

namespace vexa_codegen::mid::optimistic::fusion {

/// A copy of `candidate` in which every group of at least two (and at most
/// `max_fused_steps`) fusible operator steps is replaced by one `Fused` step,
/// with its summaries refreshed; nothing when no group was fused or
/// `max_fused_steps` is below 2. A step's graph operation is the first entry of
/// `operations` with its identifier. Conversion steps that stand between the
/// steps of a group and read none of the group's results move in front of the
/// fused step; the candidate itself is never changed.
[[nodiscard]] std::optional<DiagnosticMidGraph> fuse(const DiagnosticMidGraph& candidate,
                                                     std::span<const vexa_codegen::graph::Operation> operations,
                                                     std::size_t max_fused_steps);

}  // namespace vexa_codegen::mid::optimistic::fusion
