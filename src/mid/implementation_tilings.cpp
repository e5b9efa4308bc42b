// The tilings in which the operands of a tile kernel or a matrix product must lie.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "implementation/detail.hpp"
#include "vexa_codegen/mid/implementation.hpp"
#include "vexa_codegen/mid/resolved.hpp"

namespace vexa_codegen::mid::implementation {
namespace {

/// `entry` moved to axis `position`, with its implicit stride made explicit.
std::optional<layout::AxisTiling> moved_entry(layout::AxisTiling entry, std::size_t position, std::uint32_t stride) {
  const auto explicit_stride = detail::narrow16(stride);
  const auto axis = detail::narrow16(position);
  if (!explicit_stride || !axis) {
    return std::nullopt;
  }
  entry.axis = layout::TensorAxis::leading(*axis);
  entry.tile_stride = explicit_stride;
  return entry;
}

/// Walks the entries of `tiling` (for a tensor of rank `rank`) with their
/// strides: `place` answers, for the axis an entry denotes, the axis it keeps
/// in the result, or nothing to turn it into replication. Nothing when the
/// strides fail, an entry denotes no axis, or a stride or the replication
/// exceeds 16 bits.
template <class Place>
std::optional<TensorTiling> regrid(const TensorTiling& tiling, std::size_t rank, Place place) {
  const auto strides = tiling.axis_strides();
  if (!strides) {
    return std::nullopt;
  }
  std::uint64_t replication = tiling.replication;
  std::vector<layout::AxisTiling> kept;
  for (std::size_t k = 0; k < tiling.axes.size(); ++k) {
    const layout::AxisTiling& entry = tiling.axes[k];
    const auto axis = entry.axis.resolve(rank);
    if (!axis) {
      return std::nullopt;
    }
    if (const std::optional<std::size_t> position = place(*axis)) {
      auto moved = moved_entry(entry, *position, (*strides)[k]);
      if (!moved) {
        return std::nullopt;
      }
      kept.push_back(*moved);
    } else {
      replication *= entry.parts;
      if (!detail::narrow16(replication)) {
        return std::nullopt;
      }
    }
  }
  return TensorTiling{
      .axes = std::move(kept), .tile_count = tiling.tile_count, .replication = static_cast<std::uint16_t>(replication)};
}

}  // namespace

std::optional<TensorTiling> pointwise_input_tiling(const TensorType& input, const TensorType& output) {
  const TensorTiling& tiling = output.format.layout.tiling;
  if (input.shape == output.shape) {
    return tiling;
  }
  const std::size_t n = output.shape.rank();
  const std::size_t m = input.shape.rank();
  if (m > n) {
    return std::nullopt;
  }
  const std::size_t offset = n - m;
  return regrid(tiling, n, [&](std::size_t h) -> std::optional<std::size_t> {
    if (h >= offset && input.shape.dimensions[h - offset] != 1) {
      return h - offset;
    }
    return std::nullopt;
  });
}

std::optional<TensorTiling> project_grid(const TensorType& tensor, std::size_t target_rank, std::size_t kept_axis,
                                         std::size_t kept_position) {
  const std::size_t n = tensor.shape.rank();
  return regrid(tensor.format.layout.tiling, n, [&](std::size_t f) -> std::optional<std::size_t> {
    if (f == kept_axis) {
      return kept_position;
    }
    if (kept_axis + 2 >= n && f + 2 < n && target_rank >= n - f) {
      return target_rank - (n - f);
    }
    return std::nullopt;
  });
}

}  // namespace vexa_codegen::mid::implementation
