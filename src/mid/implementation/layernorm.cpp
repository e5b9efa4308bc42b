#include "vexa_codegen/mid/implementation/layernorm.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "detail.hpp"

namespace vexa_codegen::mid::implementation::layernorm {
namespace {

/// The moments' type: `output`'s leading axes followed by (partials, 2), 32-bit,
/// on `output`'s grid with every axis named from the front and the partial axis
/// dealt out one partial at a time.
std::optional<TensorType> moments_type(const TensorType& output, std::uint16_t partials) {
  const std::size_t rank = output.shape.rank();
  TensorType moments = output;
  moments.shape.dimensions.pop_back();
  moments.shape.dimensions.push_back(partials);
  moments.shape.dimensions.push_back(2);
  moments.format.precision = Precision::f32();
  for (layout::AxisTiling& entry : moments.format.layout.tiling.axes) {
    const auto axis = entry.axis.resolve(rank);
    const auto index = axis ? detail::narrow16(*axis) : std::nullopt;
    if (!index) {
      return std::nullopt;
    }
    entry.axis = layout::TensorAxis::leading(*index);
    if (*axis == rank - 1) {
      entry.panel = 1;
    }
  }
  return moments;
}

/// The moments without the cut of the partial axis, each row's partials held
/// by every tile of the row.
std::optional<TensorType> gathered_type(TensorType moments, std::size_t partial_axis, std::uint16_t partials) {
  layout::TensorTiling& tiling = moments.format.layout.tiling;
  const std::size_t rank = moments.shape.rank();
  std::erase_if(tiling.axes,
                [&](const layout::AxisTiling& entry) { return entry.axis.resolve(rank) == partial_axis; });
  const auto replication = detail::narrow16(std::uint64_t{tiling.replication} * partials);
  if (!replication) {
    return std::nullopt;
  }
  tiling.replication = *replication;
  return moments;
}

}  // namespace

std::optional<MidValueId> layer_norm(Builder& builder, const OperatorPlan& plan, const std::vector<TensorType>& inputs,
                                     const TensorType& output) {
  const auto* dispatch = plan.dispatch.get_if<operators::OperatorDispatch::LayerNorm>();
  if (dispatch == nullptr) {
    return std::nullopt;
  }
  const std::uint16_t partials = dispatch->partials;
  const std::size_t rank = output.shape.rank();
  if (partials < 2 || rank == 0 || output.shape.dimensions.back() % (4U * partials) != 0) {
    return std::nullopt;
  }
  std::vector<MidValueId> prepared;
  for (MidValueId operand = 0; operand < 3; ++operand) {
    static_cast<void>(detail::checked_at(inputs, operand));
    const auto value = detail::prepare_pointwise(builder, operand, output);
    if (!value) {
      return std::nullopt;
    }
    prepared.push_back(*value);
  }
  const auto moments = moments_type(output, partials);
  if (!moments) {
    return std::nullopt;
  }
  const auto gathered = gathered_type(*moments, rank - 1, partials);
  if (!gathered) {
    return std::nullopt;
  }
  const MidValueId partial_moments = builder.compute({prepared[0]}, *moments,
                                                     TileKernelSpec{TileKernelSpec::LayerNormMoments{}},
                                                     std::nullopt, false, 0, {});
  const MidValueId row_moments = builder.materialize(partial_moments, *gathered, {}, true);
  prepared.push_back(row_moments);
  return builder.compute(prepared, output, TileKernelSpec{TileKernelSpec::LayerNormApply{.partials = partials}},
                         std::nullopt, false, 0, {});
}

}  // namespace vexa_codegen::mid::implementation::layernorm
