// The batched product over a row x column x inner grid of tiles.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "detail.hpp"
#include "vexa_codegen/mid/implementation/gemm.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::implementation::gemm {

using layout::AxisTiling;

std::optional<MidValueId> distributed_product(Builder& builder, MidValueId left, MidValueId right,
                                              const TensorType& output, const ProductAxes& axes,
                                              const operators::ProductGrid& grid) {
  TensorType left_type = builder.type(left);
  TensorType right_type = builder.type(right);
  if (left_type.shape.rank() != 3 || right_type.shape.rank() != 3 || output.shape.rank() != 3 ||
      !output.format.precision.is_f16()) {
    return std::nullopt;
  }
  const auto left_axis = axes.left_contraction.resolve(3);
  const auto right_axis = axes.right_contraction.resolve(3);
  const auto output_axis = axes.output_columns.resolve(3);
  // Axis 0 counts heads on both sides; a contraction over it has no column axis left.
  if (left_axis != 2 || output_axis != 2 || !right_axis || *right_axis == 0) {
    return std::nullopt;
  }
  const std::size_t x = *right_axis;
  const std::size_t columns_axis = 3 - x;

  const std::uint16_t g1 = grid.row_partitions;
  const std::uint16_t g2 = grid.column_partitions;
  const std::uint16_t g3 = grid.inner_partitions;
  const std::uint32_t heads = output.shape.dimensions[0];
  if (g1 == 0 || g2 == 0 || g3 == 0) {
    return std::nullopt;
  }
  const auto h = detail::narrow16(heads);
  const auto h_g2 = detail::narrow16(std::uint64_t{heads} * g2);
  const auto h_g2_g3 = detail::narrow16(std::uint64_t{heads} * g2 * g3);
  const auto tiles = detail::narrow16(std::uint64_t{heads} * g2 * g3 * g1);
  if (heads == 0 || !h || !h_g2 || !h_g2_g3 || !tiles) {
    return std::nullopt;
  }

  std::uint32_t contraction = left_type.shape.dimensions[2];
  if (axes.first_bound) {
    contraction = std::min(contraction, *axes.first_bound);
  }
  contraction = std::min(contraction, right_type.shape.dimensions[x]);
  const std::uint32_t columns = axes.second_bound.value_or(output.shape.dimensions[2]);
  if (contraction == 0 || columns == 0) {
    return std::nullopt;
  }
  const std::uint64_t part = 16 * support::ceil_div(support::ceil_div(contraction, 16), g3);
  const std::uint64_t column_part = 16 * support::ceil_div(support::ceil_div(columns, 16), g2);
  const std::uint64_t padded_contraction = part * g3;
  if (padded_contraction > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  const auto panel = static_cast<std::uint32_t>(part);

  left_type.shape.dimensions[2] = static_cast<std::uint32_t>(padded_contraction);
  left_type.format.layout.tiling = layout::TensorTiling{
      .axes = {detail::padded_cut(0, *h, 1, 1), detail::padded_cut(1, g1, 1, *h_g2_g3), detail::padded_cut(2, g3, panel, *h_g2)},
      .tile_count = *tiles,
      .replication = g2};
  right_type.shape.dimensions[x] = contraction;
  right_type.shape.dimensions[columns_axis] = columns;
  right_type.format.layout.tiling = layout::TensorTiling{
      .axes = {detail::padded_cut(0, *h, 1, 1), detail::padded_cut(static_cast<std::uint16_t>(x), g3, panel, *h_g2),
               detail::padded_cut(static_cast<std::uint16_t>(columns_axis), g2, 16, *h)},
      .tile_count = *tiles,
      .replication = g1};
  const MidValueId staged_left = builder.materialize(left, left_type, {}, true);
  const MidValueId staged_right = builder.materialize(right, right_type, {}, true);

  const TileKernelSpec kernel{TileKernelSpec::PackedGemm{.inner_chunk = panel,
                                                         .output_column_block = static_cast<std::uint32_t>(column_part),
                                                         .multiply = Precision::f16(),
                                                         .accumulate = operators::AccumulationPrecision::F32,
                                                         .add_to_output = false,
                                                         .reserved = 0}};
  // The product's blocks: heads, row parts and 16-element column panels on
  // the tiles that hold the matching operand parts, `offset` axes from the front.
  const auto product_entries = [&](std::uint16_t offset) {
    return std::vector<AxisTiling>{detail::padded_cut(offset, *h, 1, 1),
                                   detail::padded_cut(static_cast<std::uint16_t>(offset + 1), g1, 1, *h_g2_g3),
                                   detail::padded_cut(static_cast<std::uint16_t>(offset + 2), g2, 16, *h)};
  };
  TensorType product = output;
  if (g3 < 2) {
    product.format.layout.tiling = layout::TensorTiling{.axes = product_entries(0), .tile_count = *tiles, .replication = 1};
    const MidValueId result = builder.compute({staged_left, staged_right}, product, kernel, axes, false, 0, {});
    return builder.materialize(result, output, {}, true);
  }
  // Each contraction part writes its own partial result along a new leading axis.
  std::vector<AxisTiling> partial_entries = product_entries(1);
  partial_entries.push_back(detail::padded_cut(0, g3, 1, *h_g2));
  product.shape.dimensions.insert(product.shape.dimensions.begin(), g3);
  product.format.layout.tiling =
      layout::TensorTiling{.axes = std::move(partial_entries), .tile_count = *tiles, .replication = 1};
  // The output column axis is the last axis of the partial results as well.
  ProductAxes partial_axes = axes;
  partial_axes.output_columns = layout::TensorAxis::trailing(1);
  const MidValueId partials =
      builder.compute({staged_left, staged_right}, product, kernel, partial_axes, false, 0, {});
  const MidValueId reduced = builder.emit(
      {partials}, output,
      primitive::Primitive{primitive::Primitive::Reduce{.staging = operators::ReductionStaging::complete(), .axis = 0}});
  return builder.materialize(reduced, output, {}, true);
}

}  // namespace vexa_codegen::mid::implementation::gemm
