#include <algorithm>

#include "detail.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::candidates {

std::vector<Layout> direct_consumer_layouts(std::span<const graph::Operation> consumers, graph::ValueId value,
                                            const graph::TensorShape& shape, const PipelineConfig& config) {
  std::vector<Layout> layouts;
  const auto& extents = shape.dimensions;
  if (extents.size() < 2 || extents[0] < 1 || extents[0] > detail::max16) {
    return layouts;
  }
  const std::uint32_t heads = extents[0];
  const std::uint32_t length = extents[1];
  const std::uint32_t per_head = config.tiles / heads;
  const auto query_partitions =
      static_cast<std::uint16_t>(std::min<std::uint64_t>(per_head, detail::saturate16(length)));
  const auto key_partitions =
      static_cast<std::uint16_t>(std::min<std::uint64_t>(per_head, detail::saturate16(support::ceil_div(length, 64))));
  const auto batch = static_cast<std::uint16_t>(heads);

  const auto add = [&](Layout layout) {
    if (std::ranges::find(layouts, layout) == layouts.end()) {
      layouts.push_back(std::move(layout));
    }
  };
  for (const graph::Operation& consumer : consumers) {
    if (!consumer.kind.is<graph::OperationKind::FlashAttention>()) {
      continue;
    }
    for (std::size_t position = 0; position < consumer.inputs.size() && position < 3; ++position) {
      if (consumer.inputs[position] != value) {
        continue;
      }
      if (position == 0 && query_partitions > 0) {
        Layout query = Layout::attention_output(batch, query_partitions);
        query.order = layout::ElementOrder::amp(layout::AmpOrder::Left);
        add(std::move(query));
      } else if (position == 1 && key_partitions > 0) {
        add(Layout::attention_key(batch, key_partitions));
      } else if (position == 2 && key_partitions > 0) {
        Layout stored = Layout::attention_key(batch, key_partitions);
        stored.order = layout::ElementOrder::block_major(layout::BlockMajorOrder::matrix(64, 16));
        add(std::move(stored));
      }
    }
  }
  return layouts;
}

bool operator_matches(const graph::OperationKind& kind, const MidOperator& operator_) {
  using Kind = graph::OperationKind;
  if (const auto* gemm = kind.get_if<Kind::Gemm>()) {
    const auto* planned = operator_.get_if<MidOperator::Gemm>();
    return planned != nullptr && planned->options == gemm->options;
  }
  if (kind.is<Kind::Gelu>()) {
    return operator_.is<MidOperator::Gelu>();
  }
  if (kind.is<Kind::LayerNorm>()) {
    return operator_.is<MidOperator::LayerNorm>();
  }
  if (kind.is<Kind::Add>()) {
    return operator_.is<MidOperator::Add>();
  }
  if (const auto* view = kind.get_if<Kind::View>()) {
    const auto* planned = operator_.get_if<MidOperator::View>();
    return planned != nullptr && planned->view == view->view;
  }
  if (const auto* slice = kind.get_if<Kind::Slice>()) {
    const auto* planned = operator_.get_if<MidOperator::Slice>();
    return planned != nullptr && planned->slice == slice->slice;
  }
  if (const auto* attention = kind.get_if<Kind::FlashAttention>()) {
    const auto* planned = operator_.get_if<MidOperator::FlashAttention>();
    return planned != nullptr && planned->options == attention->options;
  }
  return false;
}

bool satisfies_gemm_constraint(const OperatorPlan& plan, const GemmPlanConstraint& constraint) {
  const auto* gemm = plan.dispatch.get_if<operators::OperatorDispatch::Gemm>();
  if (gemm == nullptr || !gemm->distribution) {
    return false;
  }
  const operators::GemmDistribution& distribution = *gemm->distribution;
  if (gemm->orientation != constraint.orientation || gemm->output_column_block != constraint.output_column_block ||
      distribution.row_partitions != constraint.row_partitions ||
      distribution.column_partitions != constraint.column_partitions ||
      distribution.inner_partitions != constraint.inner_partitions ||
      distribution.result_row_partitions != constraint.result_row_partitions ||
      distribution.result_column_partitions != constraint.result_column_partitions ||
      distribution.reduction_staging != constraint.reduction_staging) {
    return false;
  }
  const std::size_t weight = gemm->orientation == GemmOrientation::Normal ? 1 : 0;
  if (weight >= plan.storage.operands.size()) {
    return false;
  }
  const operators::OperandRequirement& requirement = plan.storage.operands[weight];
  return requirement.format.layout.memory_class == constraint.weight_memory_class &&
         requirement.staging == constraint.local_weight_staging;
}

}  // namespace vexa_codegen::mid::candidates
