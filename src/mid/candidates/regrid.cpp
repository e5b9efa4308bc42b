// Re-gridding: catalogue plans whose tilings are replaced by a grid of tiles
// over the axes of the operation's actual result shape.
#include <array>

#include "detail.hpp"
#include "vexa_codegen/mid/implementation.hpp"
#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::candidates::detail {
namespace {

/// `layout` with the tiling in which operand `type` of a tile kernel must lie
/// to serve the result `result`; nothing when there is no such tiling.
std::optional<Layout> pointwise_layout(Layout layout, const TensorType& type, const TensorType& result) {
  auto tiling = implementation::pointwise_input_tiling(type, result);
  if (!tiling) {
    return std::nullopt;
  }
  layout.tiling = std::move(*tiling);
  return layout;
}

std::size_t shared_operands(const OperatorPlan& plan, const std::vector<TensorType>& operand_types) {
  return std::min(plan.storage.operands.size(), operand_types.size());
}

}  // namespace

std::optional<OperatorPlan> regrid(const OperatorPlan& plan, const std::vector<TensorType>& operand_types,
                                   const TensorShape& result_shape, bool with_partials) {
  const auto& extents = result_shape.dimensions;
  const std::size_t rank = extents.size();
  const std::uint16_t tiles = plan.storage.output.format.layout.tiling.tile_count;
  if (rank == 0 || rank > max16 || extents.back() == 0 || tiles == 0) {
    return std::nullopt;
  }
  const auto per_unit = static_cast<std::uint32_t>(8 / plan.storage.output.format.precision.element_bytes());

  // Leading axes from the second-last outwards; unit axes other than the
  // second-last and empty axes are not cut.
  std::vector<AxisTiling> axes;
  std::uint64_t used = 1;
  for (std::size_t k = rank - 1; k-- > 0;) {
    const std::uint32_t extent = extents[k];
    if (extent == 0 || (extent == 1 && k != rank - 2)) {
      continue;
    }
    const std::uint64_t parts = std::min<std::uint64_t>(tiles / used, extent);
    axes.push_back(AxisTiling{.axis = TensorAxis::trailing(static_cast<std::uint16_t>(rank - k)),
                              .parts = static_cast<std::uint16_t>(parts),
                              .tile_stride = static_cast<std::uint16_t>(used)});
    used *= parts;
  }
  const std::uint64_t last_parts =
      with_partials ? 1 : std::min<std::uint64_t>(support::ceil_div(extents.back(), per_unit), tiles / used);
  for (AxisTiling& tiling : axes) {
    tiling.tile_stride = static_cast<std::uint16_t>(*tiling.tile_stride * last_parts);
  }
  axes.push_back(AxisTiling{.axis = TensorAxis::trailing(1),
                            .parts = static_cast<std::uint16_t>(last_parts),
                            .panel = per_unit,
                            .padding_multiple = per_unit,
                            .tile_stride = 1});

  Layout grid;
  grid.order = ElementOrder::row_major();
  grid.tiling.axes = std::move(axes);
  grid.tiling.tile_count = static_cast<std::uint16_t>(used * last_parts);
  grid.tiling.replication = 1;
  grid.memory_class = layout::MemoryClass::Vexa21Standard;

  OperatorPlan regridded = plan;
  regridded.storage.output.format.layout = grid;
  const TensorType result{result_shape, regridded.storage.output.format};
  for (std::size_t j = 0; j < shared_operands(plan, operand_types); ++j) {
    regridded.storage.operands[j].format.layout = pointwise_layout(grid, operand_types[j], result).value_or(grid);
  }
  return regridded;
}

std::vector<OperatorPlan> partial_variants(const OperatorPlan& regridded, const std::vector<TensorType>& operand_types,
                                           const TensorShape& result_shape, std::uint16_t original_tiles) {
  std::vector<OperatorPlan> variants;
  const std::size_t rank = result_shape.rank();
  if (rank == 0) {
    return variants;
  }
  const std::uint32_t last_extent = result_shape.dimensions.back();
  const std::uint16_t grid_tiles = regridded.storage.output.format.layout.tiling.tile_count;
  for (const std::uint16_t partials : std::array<std::uint16_t, 5>{2, 4, 8, 16, 32}) {
    if (last_extent % (4U * partials) != 0 || original_tiles / partials < grid_tiles) {
      continue;
    }
    OperatorPlan variant = regridded;
    variant.dispatch = OperatorDispatch{OperatorDispatch::LayerNorm{partials}};
    Layout& result_layout = variant.storage.output.format.layout;
    bool valid = true;
    for (AxisTiling& tiling : result_layout.tiling.axes) {
      const auto position = tiling.axis.resolve(rank);
      if (!position) {
        valid = false;
        break;
      }
      if (*position == rank - 1) {
        tiling.parts = partials;
      } else if (tiling.tile_stride) {
        const std::uint64_t stride = std::uint64_t{*tiling.tile_stride} * partials;
        valid = valid && stride <= max16;
        tiling.tile_stride = static_cast<std::uint16_t>(stride);
      }
    }
    const std::uint64_t tiles = std::uint64_t{grid_tiles} * partials;
    if (!valid || tiles > max16) {
      continue;
    }
    result_layout.tiling.tile_count = static_cast<std::uint16_t>(tiles);
    const TensorType result{result_shape, variant.storage.output.format};
    for (std::size_t j = 0; valid && j < shared_operands(variant, operand_types); ++j) {
      auto layout = pointwise_layout(result_layout, operand_types[j], result);
      valid = layout.has_value();
      if (valid) {
        variant.storage.operands[j].format.layout = std::move(*layout);
      }
    }
    if (valid) {
      variants.push_back(std::move(variant));
    }
  }
  return variants;
}

}  // namespace vexa_codegen::mid::candidates::detail
