// The planner's measures of a plan: the figures by which plans for one
// operation are compared, and the test whether a plan's operands and result
// fit into one tile's memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/pipeline.hpp"
#include "vexa_codegen/mid/program.hpp"

namespace vexa_codegen::mid::planner {

/// The figures of a plan's lowered program: its optimistic cycles, then its
/// memory peaks. Dump: `PlanMetrics { cycles: 1, standard: 2, interleaved: 3,
/// total: 4, exchange_rows: 5, maximum_standard_allocation: 6 }`.
struct PlanMetrics {
  std::uint64_t cycles = 0;
  std::uint64_t standard = 0;
  std::uint64_t interleaved = 0;
  std::uint64_t total = 0;
  std::uint64_t exchange_rows = 0;
  std::uint64_t maximum_standard_allocation = 0;

  /// The figures of an analysed program.
  [[nodiscard]] static PlanMetrics of(const MidProgram& program) noexcept;
  /// The figures of a plan that does not lower: the largest cycle figure and no memory.
  [[nodiscard]] static PlanMetrics unpriced() noexcept;

  /// Whether this plan is at least as good as `other` in every figure and
  /// better in one: every figure at most `other`'s and not all equal.
  [[nodiscard]] bool dominates(const PlanMetrics& other) const noexcept;

  friend bool operator==(const PlanMetrics&, const PlanMetrics&) = default;
};

/// Whether the operand and result types `plan` requires for these inputs and
/// this result shape fit one tile: the largest interleaved shard fits the
/// interleaved memory, and the largest interleaved shard plus the largest
/// standard shard plus the configuration's reserved bytes fit the tile's
/// capacity (`PipelineConfig::tile_memory_capacity`). A type whose layout does
/// not resolve never fits.
[[nodiscard]] bool plan_fits_operator_memory(const operators::OperatorPlan& plan,
                                             const std::vector<layout::TensorType>& inputs,
                                             const graph::TensorShape& output, const PipelineConfig& config);

[[nodiscard]] std::string dump(const PlanMetrics& metrics);

}  // namespace vexa_codegen::mid::planner
