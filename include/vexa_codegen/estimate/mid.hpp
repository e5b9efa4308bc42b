// Cycle and memory analysis of mid-level programs.
//
// `analyze` prices every step of a finished program, follows which buffers are
// alive at each step, and reports the cycle pair and the per-tile memory peaks
// that the lowering stores in the program. `operation_cost` prices one step;
// `local_tensor` is the part of a tensor that one tile holds.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vexa_codegen/estimate/memory_peaks.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/optimistic/cycle_estimate.hpp"
#include "vexa_codegen/mid/program.hpp"

namespace vexa_codegen::estimate::mid {

namespace layout = vexa_codegen::mid::layout;

/// The price of one step.
struct OperationCost {
  vexa_codegen::mid::optimistic::CycleEstimate cycles;
  std::uint64_t standard_scratch = 0;     ///< standard-memory bytes besides the operands
  std::uint64_t interleaved_scratch = 0;  ///< always 0 for the steps the planner builds
  std::uint64_t exchange_rows = 0;

  friend bool operator==(const OperationCost&, const OperationCost&) = default;
};

[[nodiscard]] std::string dump(const OperationCost& cost);

/// The tensor one tile holds: one extent per resolved axis, the largest
/// allocated shard size of that axis (the single extent `maximum_tile_elements`
/// for a flattened layout); format copied. Nothing when the layout does not
/// resolve or a flattened extent does not fit 32 bits.
[[nodiscard]] std::optional<layout::TensorType> local_tensor(const layout::TensorType& type);

/// The price of `operation` among the program's `values`; nothing when the step
/// has no price (an `Operator` step, a step without outputs, an unresolvable
/// output, a window beyond its operand, an unresolvable product axis, ...).
[[nodiscard]] std::optional<OperationCost> operation_cost(const vexa_codegen::mid::MidOperation& operation,
                                                          const std::vector<vexa_codegen::mid::MidValue>& values);

/// The analysis of a whole program: its cycle pair and memory peaks, or nothing
/// when a step has no price, a buffer size overflows or a region carries no
/// values. `factors` multiplies the storage of the listed values.
[[nodiscard]] std::optional<std::pair<vexa_codegen::mid::optimistic::CycleEstimate, memory::MemoryPeaks>> analyze(
    const vexa_codegen::mid::MidProgram& program,
    const std::map<vexa_codegen::mid::MidValueId, std::uint32_t>& factors = {});

}  // namespace vexa_codegen::estimate::mid
