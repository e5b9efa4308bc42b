// Plans of the operations that move no data: slices and views.
#include <algorithm>

#include "detail.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::candidates::detail {
namespace {

/// Whether the layout is one flat range over the tiles.
bool is_flat(const Layout& layout) {
  return layout.tiling.axes.size() == 1 && layout.tiling.axes[0].axis.is_flattened();
}

/// The head-split result layouts of a view that turns [L, H x D] into [H, L, D]:
/// the attention query grid, and the key grid in both of its stored orders.
std::vector<Layout> head_split_layouts(const TensorShape& result_shape, std::uint16_t tiles) {
  std::vector<Layout> layouts;
  const std::uint32_t heads = result_shape.dimensions[0];
  const std::uint32_t length = result_shape.dimensions[1];
  const auto batch = static_cast<std::uint16_t>(heads);
  const auto per_head = static_cast<std::uint16_t>(tiles / heads);
  const auto query_partitions = static_cast<std::uint16_t>(std::min<std::uint32_t>(length, per_head));
  if (query_partitions > 0) {
    Layout query = Layout::attention_output(batch, query_partitions);
    query.order = ElementOrder::amp(layout::AmpOrder::Left);
    layouts.push_back(std::move(query));
  }
  const auto key_partitions =
      static_cast<std::uint16_t>(std::min<std::uint64_t>(support::ceil_div(length, 64), per_head));
  if (key_partitions > 0) {
    Layout key = Layout::attention_key(batch, key_partitions);
    layouts.push_back(key);
    key.order = ElementOrder::block_major(layout::BlockMajorOrder::matrix(64, 16));
    layouts.push_back(std::move(key));
  }
  return layouts;
}

}  // namespace

std::vector<OperatorPlan> slice_plans(const graph::AxisSlice& slice, const std::vector<TensorType>& operand_types,
                                      const TensorShape& result_shape, const PipelineConfig& config) {
  if (operand_types.size() != 1) {
    return {};
  }
  const TensorFormat& operand = operand_types[0].format;
  const MidOperator operator_{MidOperator::Slice{slice}};
  return {alias_plan(operand, operand.layout, operator_),
          alias_plan(operand, row_layout(row_partitions_for(result_shape, config.tiles)), operator_)};
}

void add_view_plans(PlanList& list, const graph::view::AxisFactorView& view,
                    const std::vector<TensorType>& operand_types, const TensorShape& result_shape,
                    const PipelineConfig& config) {
  if (operand_types.size() != 1) {
    return;
  }
  const TensorType& operand = operand_types[0];
  const MidOperator operator_{MidOperator::View{view}};
  const auto& result = result_shape.dimensions;
  const bool head_split = view.split_axis == 2 && view.merge_axis == 0 && !view.reversed &&
                          !operand.format.precision.is_f8f143() && result.size() == 3 && result[0] >= 1 &&
                          result[0] <= max16 && result[1] < 65536;
  bool added = false;
  if (head_split) {
    for (const Layout& layout : head_split_layouts(result_shape, config.tiles)) {
      added = list.push_unique(alias_plan(operand.format, layout, operator_)) || added;
    }
  }
  if (added) {
    return;
  }
  TensorFormat operand_format = operand.format;
  if (is_flat(operand_format.layout)) {
    const TensorAxis axis = operand.shape.rank() == 1 ? TensorAxis::trailing(1) : TensorAxis::trailing(2);
    operand_format.layout = row_layout(row_partitions_for(operand.shape, config.tiles), axis);
  }
  list.push_unique(alias_plan(operand_format, row_layout(row_partitions_for(result_shape, config.tiles)), operator_));
}

}  // namespace vexa_codegen::mid::candidates::detail
