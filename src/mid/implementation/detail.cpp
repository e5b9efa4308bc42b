#include "detail.hpp"

#include <limits>
#include <string>
#include <utility>

#include "vexa_codegen/support/invariant.hpp"

namespace vexa_codegen::mid::implementation::detail {

void index_out_of_bounds(std::size_t length, std::size_t index) noexcept {
  support::invariant_failed("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
                            std::to_string(index));
}

std::optional<std::uint16_t> narrow16(std::uint64_t value) noexcept {
  if (value > std::numeric_limits<std::uint16_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

const layout::AxisTiling* entry_on(const layout::TensorTiling& tiling, std::size_t index, std::size_t rank) noexcept {
  for (const layout::AxisTiling& entry : tiling.axes) {
    if (entry.axis.resolve(rank) == index) {
      return &entry;
    }
  }
  return nullptr;
}

layout::AxisTiling padded_cut(std::uint16_t axis, std::uint16_t parts, std::uint32_t panel,
                              std::optional<std::uint16_t> stride) {
  return layout::AxisTiling{.axis = layout::TensorAxis::leading(axis),
                            .parts = parts,
                            .groups = 1,
                            .panel = panel,
                            .padding_multiple = panel,
                            .shard_alignment = 1,
                            .padding = layout::AxisPadding::Padded,
                            .tile_stride = stride};
}

layout::TensorType with_tiling(layout::TensorType type, layout::TensorTiling tiling) {
  type.format.layout.tiling = std::move(tiling);
  return type;
}

std::vector<std::uint32_t> origin_at(std::size_t rank, std::size_t axis, std::uint32_t start) {
  std::vector<std::uint32_t> origin(rank, 0);
  if (axis < rank) {
    origin[axis] = start;
  }
  return origin;
}

}  // namespace vexa_codegen::mid::implementation::detail
