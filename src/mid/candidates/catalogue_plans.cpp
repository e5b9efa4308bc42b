// Catalogue plans: the entries of the configuration's catalogue adapted to the
// shapes and current layouts of one operation.
#include <algorithm>
#include <limits>
#include <tuple>

#include "detail.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

using catalogue::CandidateLayouts;
using catalogue::OperatorCandidate;

/// The plan with operand `index` and the result in operand `index`'s current
/// layout (and, for an addition, every operand), or nothing when the
/// precisions or shapes do not allow it.
std::optional<OperatorPlan> follow_operand(OperatorPlan plan, std::size_t index,
                                           const std::vector<TensorType>& operand_types,
                                           const graph::TensorShape& result_shape) {
  if (index >= operand_types.size() || index >= plan.storage.operands.size()) {
    return std::nullopt;
  }
  const TensorType& followed = operand_types[index];
  if (followed.format.precision != plan.storage.operands[index].format.precision ||
      followed.format.precision != plan.storage.output.format.precision) {
    return std::nullopt;
  }
  const Layout& layout = followed.format.layout;
  plan.storage.operands[index].format.layout = layout;
  plan.storage.output.format.layout = layout;
  if (plan.operator_.is<MidOperator::Add>()) {
    if (followed.shape != result_shape) {
      return std::nullopt;
    }
    if (!layout.order.is_row_major() &&
        std::ranges::any_of(operand_types, [&](const TensorType& type) { return type.shape != result_shape; })) {
      return std::nullopt;
    }
    for (operators::OperandRequirement& requirement : plan.storage.operands) {
      requirement.format.layout = layout;
    }
  }
  return plan;
}

/// The plans a concrete entry yields: the plan adapted as its `layouts` say,
/// followed by the partial variants of a re-gridded layer normalisation.
std::vector<OperatorPlan> concrete_plans(const catalogue::ConcreteOperatorCandidate& entry,
                                         const std::vector<TensorType>& operand_types,
                                         const graph::TensorShape& result_shape) {
  const CandidateLayouts& layouts = entry.layouts;
  if (layouts.is<CandidateLayouts::Fixed>()) {
    return {entry.plan};
  }
  if (const auto* follow = layouts.get_if<CandidateLayouts::FollowOperand>()) {
    auto plan = follow_operand(entry.plan, follow->operand, operand_types, result_shape);
    return plan ? std::vector<OperatorPlan>{std::move(*plan)} : std::vector<OperatorPlan>{};
  }
  const bool with_partials = layouts.is<CandidateLayouts::ShapeGridWithPartials>();
  auto regridded = detail::regrid(entry.plan, operand_types, result_shape, with_partials);
  if (!regridded) {
    return {};
  }
  std::vector<OperatorPlan> plans{*regridded};
  if (with_partials) {
    std::ranges::move(detail::partial_variants(*regridded, operand_types, result_shape,
                                               entry.plan.storage.output.format.layout.tiling.tile_count),
                      std::back_inserter(plans));
  }
  return plans;
}

bool undistributed_product(const OperatorPlan& plan) {
  const auto* gemm = plan.dispatch.get_if<operators::OperatorDispatch::Gemm>();
  return gemm != nullptr && !gemm->distribution;
}

}  // namespace

std::vector<OperatorPlan> independent_parameter_storage(const OperatorPlan& plan,
                                                        const std::vector<TensorType>& operand_types,
                                                        std::size_t operand, const PipelineConfig& config) {
  const auto* gemm = plan.dispatch.get_if<operators::OperatorDispatch::Gemm>();
  if (gemm == nullptr || operand >= plan.storage.operands.size() || operand >= operand_types.size()) {
    return {};
  }
  const Layout& stored = plan.storage.operands[operand].format.layout;
  const layout::BlockMajorOrder* block = stored.order.as_block_major();
  const auto& extents = operand_types[operand].shape.dimensions;
  if (block == nullptr || block->is_transposed() || extents.size() < 2 || gemm->output_column_block < 64) {
    return {};
  }
  const std::uint16_t row_block = block->row_block();
  if (row_block == 0) {
    support::invariant_failed("block-major operand with a zero row block");
  }
  const std::uint32_t column_block = gemm->output_column_block;
  const std::uint64_t row_blocks = support::ceil_div(extents[extents.size() - 2], row_block);
  const std::uint64_t column_blocks = support::ceil_div(extents.back(), column_block);

  // The fewest blocks per tile, then the most tiles, then the fewer column
  // parts, then the fewer row parts.
  using Key = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>;
  std::optional<Key> best;
  const std::uint64_t max_rows = std::min<std::uint64_t>(config.tiles, row_blocks);
  for (std::uint64_t rows = 1; rows <= max_rows; ++rows) {
    const std::uint64_t max_columns = std::min<std::uint64_t>(column_blocks, config.tiles / rows);
    for (std::uint64_t columns = 1; columns <= max_columns; ++columns) {
      const Key key{support::ceil_div(row_blocks, rows) * support::ceil_div(column_blocks, columns),
                    std::numeric_limits<std::uint64_t>::max() - rows * columns, columns, rows};
      if (!best || key < *best) {
        best = key;
      }
    }
  }
  if (!best) {
    return {};
  }
  const auto columns = static_cast<std::uint16_t>(std::get<2>(*best));
  const auto rows = static_cast<std::uint16_t>(std::get<3>(*best));
  const std::uint64_t tiles = std::uint64_t{columns} * rows;

  OperatorPlan variant = plan;
  Layout& layout = variant.storage.operands[operand].format.layout;
  layout.order = layout::ElementOrder::block_major(layout::BlockMajorOrder::matrix(row_block, 16));
  layout.tiling.axes = {layout::AxisTiling{.axis = layout::TensorAxis::trailing(1),
                                           .parts = columns,
                                           .panel = column_block,
                                           .padding_multiple = column_block,
                                           .padding = layout::AxisPadding::Padded,
                                           .tile_stride = 1},
                        layout::AxisTiling{.axis = layout::TensorAxis::trailing(2),
                                           .parts = rows,
                                           .panel = row_block,
                                           .padding_multiple = row_block,
                                           .padding = layout::AxisPadding::Padded}};
  layout.tiling.tile_count = tiles > detail::max16 ? 0 : static_cast<std::uint16_t>(tiles);
  layout.tiling.replication = 1;
  return {std::move(variant)};
}

std::vector<std::uint16_t> resolved_output_aliasing(const OperatorPlan& plan,
                                                    const std::vector<TensorType>& operand_types,
                                                    const graph::TensorShape& result_shape) {
  std::vector<std::uint16_t> positions;
  if (!plan.storage.output_aliases) {
    return positions;
  }
  for (const std::uint16_t position : *plan.storage.output_aliases) {
    if (operators::alias_compatible(position, plan.storage.operands, std::span<const TensorType>(operand_types),
                                    plan.storage.output.format, result_shape)) {
      positions.push_back(position);
    }
  }
  return positions;
}

namespace detail {

PlanList catalogue_entry_plans(const OperatorCandidate& candidate, const graph::Operation& operation,
                               const std::vector<TensorType>& operand_types, const std::vector<bool>& parameter_flags,
                               const TensorShape& result_shape, const PipelineConfig& config,
                               const estimate::cycles::CostModel& cost_model,
                               const std::optional<GemmPlanConstraint>& constraint,
                               std::span<const OutputDemand> demands, const GenerationContext& context) {
  PlanList generated;
  if (const auto* family = candidate.get_if<OperatorCandidate::GemmFamily>()) {
    const auto* gemm = operation.kind.get_if<graph::OperationKind::Gemm>();
    if (gemm == nullptr || gemm->options != family->options) {
      return generated;
    }
    const MidOperator operator_{MidOperator::Gemm{family->options, family->multiply, family->accumulate}};
    for (OperatorPlan& plan : parallel_reduction_candidates(operator_, family->tile_count, operand_types, result_shape,
                                                            config, cost_model, constraint, demands, context)) {
      generated.push(std::move(plan));
    }
  } else {
    const auto& entry = candidate.get_if<OperatorCandidate::Concrete>()->candidate;
    if (!operator_matches(operation.kind, entry.plan.operator_)) {
      return generated;
    }
    for (OperatorPlan& plan : concrete_plans(entry, operand_types, result_shape)) {
      generated.push(std::move(plan));
    }
  }

  if (config.gemm_output_grouping == 2) {
    for (std::size_t i = 0, count = generated.size(); i < count; ++i) {
      if (undistributed_product(generated[i])) {
        if (auto packed = packed_gemm_output(generated[i], result_shape)) {
          generated.push(std::move(*packed));
        }
      }
    }
  }

  for (std::size_t j = 0; j < parameter_flags.size(); ++j) {
    if (!parameter_flags[j]) {
      continue;
    }
    for (std::size_t i = 0, count = generated.size(); i < count; ++i) {
      for (OperatorPlan& variant : independent_parameter_storage(generated[i], operand_types, j, config)) {
        generated.push_unique(std::move(variant));
      }
    }
  }
  return generated;
}

}  // namespace detail
}  // namespace vexa_codegen::mid::candidates
