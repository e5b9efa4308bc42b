// Distributed matrix-product plans: the plan variants of the proxy frontier,
// their selection, and the output-grouped form of a product.
#include <algorithm>
#include <array>

#include "detail.hpp"
#include "gemm_grid.hpp"
#include "vexa_codegen/mid/catalogue.hpp"

namespace vexa_codegen::mid::candidates {
namespace {

using layout::AxisPadding;
using layout::AxisTiling;
using layout::MemoryClass;
using layout::TensorAxis;
using operators::GemmDistribution;
using operators::LocalOperandStaging;
using operators::OperatorDispatch;
using operators::ReductionStaging;

/// The first tiling of `layout` on exactly the axis `axis`, or null.
AxisTiling* first_tiling_on(Layout& layout, const TensorAxis& axis) {
  const auto found = std::ranges::find(layout.tiling.axes, axis, &AxisTiling::axis);
  return found == layout.tiling.axes.end() ? nullptr : &*found;
}

/// The first tiling of `layout` whose axis is position `position` of a tensor of rank `rank`, or null.
AxisTiling* first_tiling_at(Layout& layout, std::size_t position, std::size_t rank) {
  const auto found = std::ranges::find_if(
      layout.tiling.axes, [&](const AxisTiling& tiling) { return tiling.axis.resolve(rank) == position; });
  return found == layout.tiling.axes.end() ? nullptr : &*found;
}

void pad_to_16(AxisTiling* tiling) {
  if (tiling != nullptr) {
    tiling->panel = 16;
    tiling->padding_multiple = 16;
    tiling->padding = AxisPadding::Padded;
  }
}

/// Rounds the tiling's panel and padding multiple up to even numbers, so that
/// every tile holds whole pairs of rows.
void pad_to_even_rows(AxisTiling* tiling) {
  if (tiling != nullptr) {
    tiling->panel = static_cast<std::uint32_t>(support::round_up(tiling->panel, 2));
    tiling->padding_multiple = static_cast<std::uint32_t>(support::round_up(tiling->padding_multiple, 2));
    tiling->padding = AxisPadding::Padded;
  }
}

bool has_grouped_output(const OperatorPlan& plan) {
  return std::ranges::any_of(plan.storage.output.format.layout.tiling.axes,
                             [](const AxisTiling& tiling) { return tiling.groups >= 2; });
}

/// One frontier grid with the quantities its variants share.
struct GridShape {
  std::uint16_t rows = 1;           ///< P
  std::uint16_t columns = 1;        ///< Nc
  std::uint16_t inner = 1;          ///< R
  std::uint16_t tiles = 1;          ///< T' = P x Nc x R
  std::uint16_t chunk = 1;          ///< Kc: contraction elements per part
  std::uint32_t column_block = 16;  ///< v: result columns per column part
};

/// The (result rows, result columns) spreads of one block's reduced result.
std::vector<std::pair<std::uint16_t, std::uint16_t>> result_partition_pairs(
    const GridShape& grid, const detail::ProductGeometry& geometry,
    const std::optional<GemmPlanConstraint>& constraint) {
  std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs{{1, 1}};
  const std::uint64_t row_limit =
      std::min({geometry.streamed_rows / grid.rows, detail::max16, std::uint64_t{grid.inner}});
  const std::uint64_t column_limit = geometry.column_blocks / grid.columns;
  for (std::uint64_t rows = 1; rows <= row_limit; ++rows) {
    if (grid.inner % rows == 0 && grid.inner / rows <= column_limit) {
      pairs.emplace_back(static_cast<std::uint16_t>(rows), static_cast<std::uint16_t>(grid.inner / rows));
    }
  }
  if (constraint) {
    const std::pair wanted{constraint->result_row_partitions, constraint->result_column_partitions};
    if (std::ranges::find(pairs, wanted) == pairs.end() && wanted.first <= row_limit &&
        wanted.second <= std::min<std::uint64_t>(grid.inner, column_limit) &&
        std::uint64_t{wanted.first} * wanted.second <= grid.inner) {
      pairs.push_back(wanted);
    }
  }
  return pairs;
}

/// The result layout of one spread (`result_rows` x `result_columns` tiles per
/// block) in tile order `column_major`.
Layout result_layout(const GridShape& grid, GemmOrientation orientation, std::uint16_t result_rows,
                     std::uint16_t result_columns, bool column_major) {
  const std::uint16_t rows = detail::saturate16(std::uint64_t{grid.rows} * result_rows);
  const std::uint16_t columns = detail::saturate16(std::uint64_t{grid.columns} * result_columns);
  const std::uint16_t tiles = detail::saturate16(std::uint64_t{rows} * columns);
  const std::uint32_t block = result_columns == 1 ? grid.column_block : 16;
  if (orientation == GemmOrientation::Normal) {
    Layout layout = Layout::amp_output_grid(block, tiles, rows, columns, column_major);
    layout.order = layout::ElementOrder::amp(layout::AmpOrder::Left);
    pad_to_16(first_tiling_on(layout, TensorAxis::trailing(1)));
    return layout;
  }
  Layout layout;
  layout.order = layout::ElementOrder::amp(layout::AmpOrder::TransposedLeft);
  layout.memory_class = MemoryClass::Vexa21Interleaved;
  layout.tiling.tile_count = tiles;
  layout.tiling.replication = 1;
  layout.tiling.axes = {
      AxisTiling{.axis = TensorAxis::trailing(2),
                 .parts = columns,
                 .panel = 16,
                 .padding_multiple = 16,
                 .padding = AxisPadding::Padded,
                 .tile_stride = column_major ? rows : std::uint16_t{1}},
      AxisTiling{
          .axis = TensorAxis::trailing(1), .parts = rows, .tile_stride = column_major ? std::uint16_t{1} : columns}};
  return layout;
}

/// Every plan variant of the given grids, in the nesting order: grid, weight
/// memory class, result spread, tile order, weight staging, reduction staging.
std::vector<OperatorPlan> plan_variants(const MidOperator& operator_, const std::vector<ParallelGridProxy>& grids,
                                        const detail::ProductGeometry& geometry, const graph::TensorShape& result_shape,
                                        const PipelineConfig& config, GemmOrientation orientation,
                                        const std::optional<GemmPlanConstraint>& constraint) {
  const bool normal = orientation == GemmOrientation::Normal;
  const std::size_t streamed_operand = normal ? 0 : 1;
  const std::size_t weight_operand = 1 - streamed_operand;
  const TensorAxis row_axis = TensorAxis::trailing(normal ? 2 : 1);
  const std::vector<LocalOperandStaging> weight_stagings =
      normal ? std::vector{LocalOperandStaging::Direct}
             : std::vector{LocalOperandStaging::Direct, LocalOperandStaging::MatchRemote};
  const std::vector<ReductionStaging> reductions =
      constraint ? std::vector{constraint->reduction_staging}
                 : std::vector{ReductionStaging::complete(), ReductionStaging::streamed()};

  std::vector<OperatorPlan> variants;
  for (const ParallelGridProxy& proxy : grids) {
    const std::uint64_t chunk = geometry.blocks_per_inner_part(proxy.inner_partitions) * geometry.contraction_block;
    if (chunk > detail::max16) {
      continue;
    }
    const GridShape grid{
        .rows = proxy.row_partitions,
        .columns = proxy.column_partitions,
        .inner = proxy.inner_partitions,
        .tiles =
            detail::saturate16(std::uint64_t{proxy.row_partitions} * proxy.column_partitions * proxy.inner_partitions),
        .chunk = static_cast<std::uint16_t>(chunk),
        .column_block = static_cast<std::uint32_t>(geometry.blocks_per_column_part(proxy.column_partitions) * 16)};
    for (const MemoryClass weight_class : {MemoryClass::Vexa21Standard, MemoryClass::Vexa21Interleaved}) {
      std::array<Layout, 2> operands;
      if (normal) {
        operands[0] = Layout::amp_left_parallel_grid(grid.chunk, grid.tiles, grid.rows, grid.columns, grid.inner);
        operands[1] = Layout::block_major_matrix_storage(grid.chunk, grid.column_block, grid.columns, grid.inner, 1,
                                                         weight_class);
        pad_to_16(first_tiling_on(operands[1], TensorAxis::trailing(1)));
      } else {
        operands[0] = Layout::transposed_block_major_matrix_storage(grid.chunk, grid.column_block, grid.columns,
                                                                    grid.inner, grid.rows, weight_class);
        operands[1] =
            Layout::amp_transposed_left_parallel_grid(grid.chunk, grid.tiles, grid.rows, grid.columns, grid.inner);
        pad_to_16(first_tiling_on(operands[0], TensorAxis::trailing(2)));
      }
      for (const auto& [result_rows, result_columns] : result_partition_pairs(grid, geometry, constraint)) {
        const std::uint16_t spread_rows = detail::saturate16(std::uint64_t{grid.rows} * result_rows);
        const std::uint16_t spread_columns = detail::saturate16(std::uint64_t{grid.columns} * result_columns);
        std::vector<bool> tile_orders{false};
        if (spread_rows != 1 && spread_columns != 1 && result_rows == 1 && result_columns == 1) {
          tile_orders.push_back(true);
        }
        for (const bool column_major : tile_orders) {
          Layout result = result_layout(grid, orientation, result_rows, result_columns, column_major);
          std::array<Layout, 3> layouts{operands[0], operands[1], result};
          const AxisTiling* result_rows_tiling = first_tiling_on(result, row_axis);
          const std::uint64_t row_parts = result_rows_tiling ? result_rows_tiling->parts : grid.rows;
          if (support::ceil_div(geometry.streamed_rows, 2) >= row_parts) {
            pad_to_even_rows(first_tiling_on(layouts[streamed_operand], row_axis));
            pad_to_even_rows(first_tiling_on(layouts[2], row_axis));
          }
          for (const LocalOperandStaging staging : weight_stagings) {
            for (const ReductionStaging& reduction : reductions) {
              const OperatorDispatch dispatch{
                  OperatorDispatch::Gemm{.inner_chunk = grid.chunk,
                                         .output_column_block = grid.column_block,
                                         .distribution = GemmDistribution{.reduction_staging = reduction,
                                                                          .row_partitions = grid.rows,
                                                                          .column_partitions = grid.columns,
                                                                          .inner_partitions = grid.inner,
                                                                          .result_row_partitions = result_rows,
                                                                          .result_column_partitions = result_columns},
                                         .orientation = orientation}};
              OperatorPlan plan = catalogue::gemm_plan(operator_, layouts, 16, dispatch);
              plan.storage.operands[weight_operand].staging = staging;
              if (config.gemm_output_grouping == 2) {
                if (auto packed = packed_gemm_output(plan, result_shape)) {
                  variants.push_back(std::move(*packed));
                }
              } else {
                variants.push_back(std::move(plan));
              }
            }
          }
        }
      }
    }
  }
  return variants;
}

}  // namespace

std::vector<OperatorPlan> parallel_reduction_candidates(
    const MidOperator& operator_, std::uint16_t tile_count, const std::vector<TensorType>& operand_types,
    const graph::TensorShape& result_shape, const PipelineConfig& config, const estimate::cycles::CostModel& cost_model,
    const std::optional<GemmPlanConstraint>& constraint, std::span<const OutputDemand> demands,
    const GenerationContext& context) {
  std::vector<OperatorPlan> plans;
  for (const GemmOrientation orientation : {GemmOrientation::Normal, GemmOrientation::Swapped}) {
    std::ranges::move(
        parallel_reduction_candidates_for_orientation(operator_, tile_count, operand_types, result_shape, config,
                                                      cost_model, orientation, constraint, demands, context),
        std::back_inserter(plans));
  }
  return plans;
}

std::vector<OperatorPlan> parallel_reduction_candidates_for_orientation(
    const MidOperator& operator_, std::uint16_t tile_count, const std::vector<TensorType>& operand_types,
    const graph::TensorShape& result_shape, const PipelineConfig& config, const estimate::cycles::CostModel& cost_model,
    GemmOrientation orientation, const std::optional<GemmPlanConstraint>& constraint,
    std::span<const OutputDemand> demands, const GenerationContext& context) {
  const auto* gemm = operator_.get_if<MidOperator::Gemm>();
  if (gemm == nullptr) {
    return {};
  }
  const auto geometry = detail::product_geometry(*gemm, operand_types, orientation);
  if (!geometry) {
    return {};
  }
  const std::vector<ParallelGridProxy> proxies = parallel_grid_proxies(*gemm, tile_count, operand_types, orientation);
  std::vector<ParallelGridProxy> grids;
  if (!constraint) {
    grids = parallel_grid_frontier(proxies);
  } else if (constraint->orientation == orientation) {
    std::ranges::copy_if(proxies, std::back_inserter(grids), [&](const ParallelGridProxy& proxy) {
      return proxy.row_partitions == constraint->row_partitions &&
             proxy.column_partitions == constraint->column_partitions &&
             proxy.inner_partitions == constraint->inner_partitions;
    });
  }
  const std::vector<OperatorPlan> generated =
      plan_variants(operator_, grids, *geometry, result_shape, config, orientation, constraint);

  std::vector<OperatorPlan> selected;
  if (constraint) {
    std::ranges::copy_if(generated, std::back_inserter(selected),
                         [&](const OperatorPlan& plan) { return satisfies_gemm_constraint(plan, *constraint); });
  } else {
    selected = retain_operator_candidates_for_demands(generated, operand_types, result_shape, cost_model,
                                                      std::max<std::uint64_t>(1, config.retained_gemm_plans), demands,
                                                      context);
  }

  support::emit_diagnostic(
      context.diagnostics, support::DiagnosticLevel::Debug, "retained parallel GEMM candidates", [&] {
        using support::diagnostic_field;
        return std::vector<support::DiagnosticField>{
            diagnostic_field("orientation", orientation),
            diagnostic_field("generated_grids", proxies.size()),
            diagnostic_field("proxy_frontier_grids", grids.size()),
            diagnostic_field("generated_variants", generated.size()),
            diagnostic_field("generated_grouped_variants", std::ranges::count_if(generated, has_grouped_output)),
            diagnostic_field("retained_grouped_variants", std::ranges::count_if(selected, has_grouped_output)),
            diagnostic_field("retained_variants", selected.size())};
      });
  return selected;
}

std::optional<OperatorPlan> packed_gemm_output(const OperatorPlan& plan, const graph::TensorShape& result_shape) {
  const auto* gemm = plan.operator_.get_if<MidOperator::Gemm>();
  const auto* dispatch = plan.dispatch.get_if<OperatorDispatch::Gemm>();
  if (gemm == nullptr || !gemm->multiply.is_f16() || dispatch == nullptr || plan.storage.operands.size() < 2) {
    return std::nullopt;
  }
  if (dispatch->distribution &&
      (dispatch->distribution->result_row_partitions != 1 || dispatch->distribution->result_column_partitions != 1)) {
    return std::nullopt;
  }
  const std::size_t rank = result_shape.rank();
  if (rank < 2) {
    return std::nullopt;
  }
  const bool normal = dispatch->orientation == GemmOrientation::Normal;
  const std::size_t streamed = normal ? 0 : 1;
  const std::size_t row_position = rank - 2 + streamed;
  const std::size_t column_position = rank - 1 - streamed;

  OperatorPlan packed = plan;
  Layout& result = packed.storage.output.format.layout;
  const std::array<std::pair<AxisTiling*, std::uint32_t>, 4> aligned{{
      {first_tiling_at(packed.storage.operands[streamed].format.layout, row_position, rank), 16},
      {first_tiling_at(packed.storage.operands[1 - streamed].format.layout, column_position, rank), 64},
      {first_tiling_at(result, row_position, rank), 16},
      {first_tiling_at(result, column_position, rank), 64},
  }};
  if (std::ranges::any_of(aligned, [](const auto& entry) { return entry.first == nullptr; })) {
    return std::nullopt;
  }
  for (const auto& [tiling, alignment] : aligned) {
    tiling->shard_alignment = alignment;
    tiling->padding = AxisPadding::Padded;
  }
  result.order = layout::ElementOrder::block_major(normal ? layout::BlockMajorOrder::transposed_matrix(64, 16)
                                                          : layout::BlockMajorOrder::matrix(64, 16));
  return packed;
}

}  // namespace vexa_codegen::mid::candidates
