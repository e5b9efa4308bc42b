// The tile-kernel, view and slice lowerings.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "implementation/detail.hpp"
#include "vexa_codegen/mid/implementation.hpp"

namespace vexa_codegen::mid::implementation {

std::optional<MidValueId> detail::prepare_pointwise(Builder& builder, MidValueId operand,
                                                    const layout::TensorType& output) {
  const TensorType& type = builder.type(operand);
  auto tiling = pointwise_input_tiling(type, output);
  if (!tiling) {
    return std::nullopt;
  }
  const TensorType target = with_tiling(type, std::move(*tiling));
  return builder.materialize(operand, target, {}, true);
}

std::optional<MidValueId> tile_kernel(Builder& builder, const OperatorPlan& plan,
                                      const std::vector<TensorType>& inputs, const TensorType& output) {
  const auto* dispatch = plan.dispatch.get_if<operators::OperatorDispatch::TileKernel>();
  if (dispatch == nullptr) {
    return std::nullopt;
  }
  std::vector<MidValueId> operands;
  operands.reserve(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const auto prepared = detail::prepare_pointwise(builder, static_cast<MidValueId>(i), output);
    if (!prepared) {
      return std::nullopt;
    }
    operands.push_back(*prepared);
  }

  // The step may overwrite an operand only when that operand already has the
  // exact result type; the plan's aliases are tried in the order listed.
  std::optional<MidValueId> accumulator;
  if (plan.storage.output_aliases) {
    for (const std::uint16_t position : *plan.storage.output_aliases) {
      if (position < operands.size() && builder.type(operands[position]) == output) {
        accumulator = operands[position];
        break;
      }
    }
  }

  // The tile-local attention kernel always writes 32-bit results.
  TensorType compute_type = output;
  if (dispatch->kernel.is<TileKernelSpec::Attention>()) {
    compute_type.format.precision = Precision::f32();
  }
  const MidValueId result = builder.compute(operands, compute_type, dispatch->kernel, std::nullopt,
                                            accumulator.has_value(), accumulator.value_or(0), {});
  return builder.cast(result, output.format.precision);
}

std::optional<MidValueId> view_or_slice(Builder& builder, const OperatorPlan& plan,
                                        const std::vector<TensorType>& inputs, const TensorType& output) {
  const TensorType& source = detail::checked_at(inputs, 0);
  primitive::CoordinateMapping mapping;
  if (const auto* view = plan.operator_.get_if<operators::MidOperator::View>()) {
    mapping.view = view->view;
  } else if (const auto* slice = plan.operator_.get_if<operators::MidOperator::Slice>()) {
    const std::size_t rank = source.shape.rank();
    if (slice->slice.axis >= rank) {
      detail::index_out_of_bounds(rank, slice->slice.axis);
    }
    mapping.origin = detail::origin_at(rank, slice->slice.axis, slice->slice.start);
  } else {
    return std::nullopt;
  }
  return builder.emit({0}, output,
                      primitive::Primitive{primitive::Primitive::Rearrange{.mapping = mapping, .direct = false}});
}

}  // namespace vexa_codegen::mid::implementation
