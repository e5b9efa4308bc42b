#include "vexa_codegen/mid/candidates/demand.hpp"

#include <algorithm>
#include <optional>
#include <ranges>
#include <utility>
#include <variant>

#include "vexa_codegen/mid/candidates.hpp"
#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid::candidates::demand {
namespace {

using layout::AmpOrder;
using layout::ElementOrder;

/// Block-major matrices and transposed-left AMP operands share one orientation.
bool in_first_orientation(const ElementOrder& order) {
  if (const auto* block = order.as_block_major()) {
    return !block->is_transposed();
  }
  return order.is_amp(AmpOrder::TransposedLeft);
}

/// Transposed block-major matrices, left and transposed-right AMP operands share the other.
bool in_second_orientation(const ElementOrder& order) {
  if (const auto* block = order.as_block_major()) {
    return block->is_transposed();
  }
  return order.is_amp(AmpOrder::Left) || order.is_amp(AmpOrder::TransposedRight);
}

/// Row-major and the AMP result orders match only themselves; the others match
/// any order of the same orientation, whatever their block sizes.
bool same_orientation(const ElementOrder& wanted, const ElementOrder& offered) {
  return wanted == offered || (in_first_orientation(wanted) && in_first_orientation(offered)) ||
         (in_second_orientation(wanted) && in_second_orientation(offered));
}

/// Whether the order stores the tensor's last axis contiguously; the others
/// (block-major matrices and transposed-left AMP operands) store the second-last.
bool last_axis_is_contiguous(const ElementOrder& order) { return !in_first_orientation(order); }

bool shard_multiple_holds(const ElementOrder& order, std::uint32_t multiple, const layout::Layout& layout,
                          const graph::TensorShape& shape) {
  if (multiple == 0) {
    return false;
  }
  const auto resolved = layout.resolve(shape);
  if (!resolved || resolved->flattened) {
    return false;
  }
  const std::size_t from_end = last_axis_is_contiguous(order) ? 1 : 2;
  if (resolved->axes.size() < from_end) {
    return false;
  }
  const resolved::ResolvedAxis& axis = resolved->axes[resolved->axes.size() - from_end];
  return axis.complete_panels_except_tail(multiple) && axis.maximum_extent() >= multiple;
}

bool last_axis_groups_hold(std::uint16_t groups, const layout::Layout& layout, const graph::TensorShape& shape) {
  if (groups == 0) {
    return false;
  }
  const layout::TensorAxis last = layout::TensorAxis::trailing(1);
  return std::ranges::any_of(layout.tiling.axes, [&](const layout::AxisTiling& tiling) {
    if (tiling.axis != last) {
      return false;
    }
    if (tiling.groups != 0 && tiling.groups % groups == 0) {
      return true;
    }
    if (shape.dimensions.empty() || tiling.parts == 0 || tiling.panel == 0) {
      return false;
    }
    const std::uint64_t extent = shape.dimensions.back();
    return tiling.parts % groups == 0 && extent % (std::uint64_t{groups} * tiling.panel) == 0 &&
           (extent / tiling.panel) % tiling.parts == 0;
  });
}

bool is_f8_gemm(const catalogue::OperatorCandidate& candidate) {
  if (const auto* family = candidate.get_if<catalogue::OperatorCandidate::GemmFamily>()) {
    return family->multiply.is_f8f143();
  }
  const auto& plan = candidate.get_if<catalogue::OperatorCandidate::Concrete>()->candidate.plan;
  const auto* gemm = plan.operator_.get_if<operators::MidOperator::Gemm>();
  return gemm != nullptr && gemm->multiply.is_f8f143();
}

const graph::TensorShape* find_shape(const std::map<graph::ValueId, graph::TensorShape>& shapes, graph::ValueId value) {
  const auto found = shapes.find(value);
  return found == shapes.end() ? nullptr : &found->second;
}

/// What a consumer that reads its operands as they are wishes for them: the
/// 8-bit product's operand orders, the attention operand layouts and the
/// operand orders of fixed catalogue plans for this operation.
void add_consumer_demands(OutputDemands& table, const graph::Operation& operation,
                          const std::map<graph::ValueId, graph::TensorShape>& shapes, const PipelineConfig& config) {
  if (operation.kind.is<graph::OperationKind::Gemm>() && std::ranges::any_of(config.operator_candidates, is_f8_gemm)) {
    for (std::size_t n = 0; n < operation.inputs.size(); ++n) {
      const ElementOrder order = ElementOrder::amp(n == 0 ? AmpOrder::Left : AmpOrder::TransposedLeft);
      table.insert(operation.inputs[n], OutputDemand{order, 1, 32});
    }
  }
  for (std::size_t n = 0; n < operation.inputs.size(); ++n) {
    const graph::ValueId value = operation.inputs[n];
    const graph::TensorShape* shape = find_shape(shapes, value);
    if (shape == nullptr) {
      continue;
    }
    for (const layout::Layout& layout : direct_consumer_layouts(std::span(&operation, 1), value, *shape, config)) {
      table.insert(value, OutputDemand{layout.order, 1, 1});
    }
    for (const catalogue::OperatorCandidate& candidate : config.operator_candidates) {
      const auto* concrete = candidate.get_if<catalogue::OperatorCandidate::Concrete>();
      if (concrete == nullptr || !concrete->candidate.layouts.is<catalogue::CandidateLayouts::Fixed>() ||
          !operator_matches(operation.kind, concrete->candidate.plan.operator_)) {
        continue;
      }
      const auto& operands = concrete->candidate.plan.storage.operands;
      if (n < operands.size()) {
        table.insert(value, OutputDemand{operands[n].format.layout.order, 1, 1});
      }
    }
  }
}

/// A view hands its consumers' wishes to its input: unchanged for a factor of
/// 1; with the group count multiplied by the factor when it splits the input's
/// last axis into groups that the consumer's last axis sees whole.
void add_view_demands(OutputDemands& table, const graph::Operation& operation, const graph::view::AxisFactorView& view,
                      const graph::TensorShape& input_shape) {
  const auto on_result = table.get(operation.results[0]);
  const std::vector<OutputDemand> wanted(on_result.begin(), on_result.end());
  const std::size_t rank = input_shape.rank();
  const bool splits_last_axis = !view.reversed && rank > 1 && view.split_axis == rank - 1 &&
                                view.merge_axis < rank - 2 && view.output_shape(input_shape).has_value();
  for (const OutputDemand& demand : wanted) {
    if (view.factor == 1) {
      table.insert(operation.inputs[0], demand);
    } else if (splits_last_axis && view.factor <= 0xFFFF) {
      const std::uint64_t groups = std::uint64_t{demand.last_axis_groups} * view.factor;
      if (groups <= 0xFFFF) {
        table.insert(operation.inputs[0],
                     OutputDemand{demand.order, static_cast<std::uint16_t>(groups), demand.shard_multiple});
      }
    }
  }
}

}  // namespace

std::strong_ordering compare_orders(const ElementOrder& left, const ElementOrder& right) noexcept {
  if (const auto by_kind = left.value.index() <=> right.value.index(); by_kind != 0) {
    return by_kind;
  }
  if (const auto* left_block = left.as_block_major()) {
    const auto* right_block = right.as_block_major();
    if (const auto by_kind = left_block->value.index() <=> right_block->value.index(); by_kind != 0) {
      return by_kind;
    }
    if (const auto by_rows = left_block->row_block() <=> right_block->row_block(); by_rows != 0) {
      return by_rows;
    }
    return left_block->column_block() <=> right_block->column_block();
  }
  if (const auto left_amp = left.as_amp()) {
    return std::to_underlying(*left_amp) <=> std::to_underlying(*right.as_amp());
  }
  return std::strong_ordering::equal;
}

std::strong_ordering operator<=>(const OutputDemand& left, const OutputDemand& right) {
  if (const auto by_order = compare_orders(left.order, right.order); by_order != 0) {
    return by_order;
  }
  if (const auto by_groups = left.last_axis_groups <=> right.last_axis_groups; by_groups != 0) {
    return by_groups;
  }
  return left.shard_multiple <=> right.shard_multiple;
}

bool OutputDemand::matches(const layout::Layout& layout, const graph::TensorShape& shape) const {
  if (shard_multiple != 1 && !shard_multiple_holds(order, shard_multiple, layout, shape)) {
    return false;
  }
  if (!same_orientation(order, layout.order)) {
    return false;
  }
  return last_axis_groups == 1 || last_axis_groups_hold(last_axis_groups, layout, shape);
}

OutputDemands OutputDemands::make(std::span<const graph::Operation> operations,
                                  const std::map<graph::ValueId, graph::TensorShape>& shapes,
                                  const PipelineConfig& config) {
  OutputDemands table;
  for (const graph::Operation& operation : std::ranges::reverse_view(operations)) {
    const bool unary = operation.inputs.size() == 1 && operation.results.size() == 1;
    if (operation.kind.is<graph::OperationKind::Gelu>()) {
      if (unary) {
        const auto on_result = table.get(operation.results[0]);
        const std::vector<OutputDemand> wanted(on_result.begin(), on_result.end());
        for (const OutputDemand& demand : wanted) {
          table.insert(operation.inputs[0], demand);
        }
      }
    } else if (const auto* view = operation.kind.get_if<graph::OperationKind::View>()) {
      if (unary) {
        if (const graph::TensorShape* input_shape = find_shape(shapes, operation.inputs[0])) {
          add_view_demands(table, operation, view->view, *input_shape);
        }
      }
    } else {
      add_consumer_demands(table, operation, shapes, config);
    }
  }
  return table;
}

std::span<const OutputDemand> OutputDemands::get(graph::ValueId value) const {
  const auto found = table_.find(value);
  if (found == table_.end()) {
    return {};
  }
  return found->second;
}

void OutputDemands::insert(graph::ValueId value, const OutputDemand& demand) {
  std::vector<OutputDemand>& list = table_[value];
  if (std::ranges::find(list, demand) != list.end()) {
    return;
  }
  list.push_back(demand);
  std::ranges::stable_sort(list);
}

std::string dump(const OutputDemand& demand) {
  return support::RecordDump("OutputDemand")
      .field("order", demand.order)
      .field("last_axis_groups", demand.last_axis_groups)
      .field("shard_multiple", demand.shard_multiple)
      .str();
}

}  // namespace vexa_codegen::mid::candidates::demand
