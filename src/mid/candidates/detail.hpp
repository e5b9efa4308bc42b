// Helpers shared by the sources of candidate generation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vexa_codegen/estimate/cycles.hpp"
#include "vexa_codegen/graph/types.hpp"
#include "vexa_codegen/mid/candidates.hpp"
#include "vexa_codegen/mid/catalogue.hpp"
#include "vexa_codegen/mid/layout.hpp"
#include "vexa_codegen/mid/operators.hpp"
#include "vexa_codegen/mid/pipeline.hpp"

namespace vexa_codegen::mid::candidates::detail {

using graph::TensorShape;
using layout::AxisPadding;
using layout::AxisTiling;
using layout::ElementOrder;
using layout::Precision;
using layout::TensorAxis;
using layout::TensorFormat;
using operators::OperandRequirement;
using operators::OperatorDispatch;

inline constexpr std::uint64_t max16 = 0xFFFF;

/// `value`, or 65535 when it does not fit 16 bits.
[[nodiscard]] constexpr std::uint16_t saturate16(std::uint64_t value) noexcept {
  return static_cast<std::uint16_t>(value > max16 ? max16 : value);
}

/// The row-sharded layout over `parts` tiles: row-major, standard memory, one
/// exact tiling of `axis` into `parts` shards.
[[nodiscard]] Layout row_layout(std::uint16_t parts, TensorAxis axis = TensorAxis::trailing(2));

/// The flat layout over `tiles` tiles: row-major, standard memory, the whole
/// tensor as one axis dealt out in panels of `unit` elements.
[[nodiscard]] Layout flat_layout(std::uint16_t tiles, std::uint32_t unit);

/// max(1, min(tiles, extent)), the extent being the second-last of `shape` (the
/// only one for rank 1, 1 for rank 0) taken at most 65535.
[[nodiscard]] std::uint16_t row_partitions_for(const TensorShape& shape, std::uint16_t tiles);

/// A requirement for `format` at alignment 8, unstaged and not streamed unless said.
[[nodiscard]] OperandRequirement requirement_at_8(TensorFormat format, bool streamed = false);

/// A plan of one operand whose result is a view or slice of it (dispatch
/// `Alias`): the operand in `operand_format`, the result in `result_layout`
/// with the operand's precision, both at alignment 8.
[[nodiscard]] OperatorPlan alias_plan(const TensorFormat& operand_format, const Layout& result_layout,
                                      MidOperator operator_);

/// An ordered list of plans that can answer quickly whether it holds a plan.
class PlanList {
 public:
  [[nodiscard]] bool contains(const OperatorPlan& plan) const;
  /// Appends `plan`.
  void push(OperatorPlan plan);
  /// Appends `plan` unless an equal plan is listed; whether it was appended.
  bool push_unique(OperatorPlan plan);

  [[nodiscard]] std::size_t size() const noexcept { return plans_.size(); }
  [[nodiscard]] const OperatorPlan& operator[](std::size_t index) const { return plans_[index]; }
  [[nodiscard]] const std::vector<OperatorPlan>& plans() const noexcept { return plans_; }
  [[nodiscard]] std::vector<OperatorPlan> release() && { return std::move(plans_); }

 private:
  std::vector<OperatorPlan> plans_;
  std::unordered_multimap<std::size_t, std::size_t> positions_;
};

/// Attention plans for a flash-attention operation: nothing when the rule does
/// not apply, or std::nullopt when the key length leaves no key partition, in
/// which case the operation gets no plan at all.
[[nodiscard]] std::optional<std::vector<OperatorPlan>> attention_plans(const graph::Operation& operation,
                                                                       const std::vector<TensorType>& operand_types,
                                                                       const PipelineConfig& config);

/// The two slice plans: the result in the operand's layout, then row-sharded.
[[nodiscard]] std::vector<OperatorPlan> slice_plans(const graph::AxisSlice& slice,
                                                    const std::vector<TensorType>& operand_types,
                                                    const TensorShape& result_shape, const PipelineConfig& config);

/// The view plans: the attention layouts of a head split, or the default plan.
void add_view_plans(PlanList& list, const graph::view::AxisFactorView& view,
                    const std::vector<TensorType>& operand_types, const TensorShape& result_shape,
                    const PipelineConfig& config);

/// The flattened layouts of the catalogue's element-wise operators that follow
/// their operand, one tile count per record kept by the boundary rule.
void add_flattened_plans(PlanList& list, const graph::Operation& operation, const TensorType& operand,
                         const TensorShape& result_shape, const PipelineConfig& config);

/// The plans one catalogue entry yields before the final checks of enumeration
/// (`supports`, output aliases): the entry adapted to the shapes, its partial
/// or packed variants, and the independent parameter storage variants.
[[nodiscard]] PlanList catalogue_entry_plans(const catalogue::OperatorCandidate& candidate,
                                             const graph::Operation& operation,
                                             const std::vector<TensorType>& operand_types,
                                             const std::vector<bool>& parameter_flags, const TensorShape& result_shape,
                                             const PipelineConfig& config,
                                             const estimate::cycles::CostModel& cost_model,
                                             const std::optional<GemmPlanConstraint>& constraint,
                                             std::span<const OutputDemand> demands, const GenerationContext& context);

/// `plan` re-tiled over a grid on the axes of `result_shape` (`ShapeGrid`), or
/// with one part on the last axis (`with_partials`); nothing when the result
/// has rank 0, a last extent of 0 or the plan no tiles.
[[nodiscard]] std::optional<OperatorPlan> regrid(const OperatorPlan& plan, const std::vector<TensorType>& operand_types,
                                                 const TensorShape& result_shape, bool with_partials);

/// The split-moment layer-norm variants of a re-gridded plan with 2, 4, 8, 16
/// and 32 partials, where the last extent and the catalogue plan's tile count
/// `original_tiles` allow them.
[[nodiscard]] std::vector<OperatorPlan> partial_variants(const OperatorPlan& regridded,
                                                         const std::vector<TensorType>& operand_types,
                                                         const TensorShape& result_shape, std::uint16_t original_tiles);

}  // namespace vexa_codegen::mid::candidates::detail
