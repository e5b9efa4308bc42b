#include "detail.hpp"

#include <algorithm>
#include <functional>

namespace vexa_codegen::mid::candidates::detail {

Layout row_layout(std::uint16_t parts, TensorAxis axis) {
  Layout layout;
  layout.order = ElementOrder::row_major();
  layout.tiling.axes = {AxisTiling{.axis = axis, .parts = parts}};
  layout.tiling.tile_count = parts;
  layout.tiling.replication = 1;
  layout.memory_class = layout::MemoryClass::Vexa21Standard;
  return layout;
}

Layout flat_layout(std::uint16_t tiles, std::uint32_t unit) {
  Layout layout;
  layout.order = ElementOrder::row_major();
  layout.tiling.axes = {
      AxisTiling{.axis = TensorAxis::flattened(), .parts = tiles, .panel = unit, .padding_multiple = unit}};
  layout.tiling.tile_count = tiles;
  layout.tiling.replication = 1;
  layout.memory_class = layout::MemoryClass::Vexa21Standard;
  return layout;
}

std::uint16_t row_partitions_for(const TensorShape& shape, std::uint16_t tiles) {
  const auto& extents = shape.dimensions;
  const std::uint64_t extent = extents.size() >= 2 ? extents[extents.size() - 2] : extents.empty() ? 1 : extents[0];
  return std::max<std::uint16_t>(1, static_cast<std::uint16_t>(std::min<std::uint64_t>(tiles, saturate16(extent))));
}

OperandRequirement requirement_at_8(TensorFormat format, bool streamed) {
  return OperandRequirement{.format = std::move(format),
                            .alignment = 8,
                            .stream_panel = 0,
                            .staging = operators::LocalOperandStaging::Direct,
                            .streamed = streamed};
}

OperatorPlan alias_plan(const TensorFormat& operand_format, const Layout& result_layout, MidOperator operator_) {
  OperatorPlan plan;
  plan.storage.operands = {requirement_at_8(operand_format)};
  plan.storage.output = requirement_at_8(TensorFormat{operand_format.precision, result_layout});
  plan.dispatch = OperatorDispatch{OperatorDispatch::Alias{}};
  plan.operator_ = std::move(operator_);
  return plan;
}

bool PlanList::contains(const OperatorPlan& plan) const {
  const auto [first, last] = positions_.equal_range(std::hash<OperatorPlan>{}(plan));
  return std::any_of(first, last, [&](const auto& entry) { return plans_[entry.second] == plan; });
}

void PlanList::push(OperatorPlan plan) {
  positions_.emplace(std::hash<OperatorPlan>{}(plan), plans_.size());
  plans_.push_back(std::move(plan));
}

bool PlanList::push_unique(OperatorPlan plan) {
  if (contains(plan)) {
    return false;
  }
  push(std::move(plan));
  return true;
}

}  // namespace vexa_codegen::mid::candidates::detail
