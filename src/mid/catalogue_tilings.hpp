// Axis tilings of the catalogue's layouts (private to the catalogue module).
//
// Every tiling of the catalogue has one group and shard alignment 1; it either
// cuts an axis exactly (panel and padding multiple 1) or pads the axis to
// whole panels (padding multiple equal to the panel).
#pragma once

#include <cstdint>
#include <optional>

#include "vexa_codegen/mid/layout.hpp"

namespace vexa_codegen::mid::catalogue::tilings {

/// `Trailing(trailing)` cut into `parts` shards without padding.
[[nodiscard]] inline layout::AxisTiling exact(std::uint16_t trailing, std::uint16_t parts,
                                              std::optional<std::uint16_t> tile_stride = std::nullopt) {
  return {layout::TensorAxis::trailing(trailing), parts, 1, 1, 1, 1, layout::AxisPadding::Exact, tile_stride};
}

/// `Trailing(trailing)` padded to whole panels of `panel` and cut into `parts` shards.
[[nodiscard]] inline layout::AxisTiling padded(std::uint16_t trailing, std::uint16_t parts, std::uint32_t panel,
                                               std::optional<std::uint16_t> tile_stride = std::nullopt) {
  return {layout::TensorAxis::trailing(trailing), parts, 1, panel, panel, 1, layout::AxisPadding::Padded,
          tile_stride};
}

}  // namespace vexa_codegen::mid::catalogue::tilings
