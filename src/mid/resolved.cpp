// Layout resolution, first half: strides and the tile numbering, padding, and
// every check of a layout's rules that does not depend on one shard.
#include "vexa_codegen/mid/resolved.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

#include "resolved_detail.hpp"

namespace vexa_codegen::mid::layout {
namespace detail {
namespace {

// The stride of every tiling, in tiling order, into `strides`.
std::expected<void, LayoutError> compute_strides(const TensorTiling& tiling, std::span<std::uint32_t> strides) {
  std::uint64_t product = tiling.replication;
  for (std::size_t k = 0; k < tiling.axes.size(); ++k) {
    const AxisTiling& axis = tiling.axes[k];
    if (product * axis.parts > max_u32) {
      return fail(LayoutError::TileOverflow{});
    }
    const std::uint64_t stride = axis.tile_stride ? *axis.tile_stride : product;
    if (stride == 0) {
      return fail(LayoutError::InvalidTiling{});
    }
    strides[k] = static_cast<std::uint32_t>(stride);
    product *= axis.parts;
  }
  return {};
}

// The (stride, parts) pairs of the tilings, ascending.
using Digits = ShortList<std::pair<std::uint64_t, std::uint64_t>, 8>;

void sorted_digits(const TensorTiling& tiling, std::span<const std::uint32_t> strides, Digits& digits) {
  for (std::size_t k = 0; k < strides.size(); ++k) {
    digits[k] = {strides[k], tiling.axes[k].parts};
  }
  std::ranges::sort(digits.all());
}

// Whether the shard indices are separate digits of the tile number: ordered by
// stride, each stride is a multiple of the one before times its parts, and the
// tile count a multiple of the last stride times its parts. Then, within every
// run of (last stride x last parts) tiles, each combination of shard indices
// occurs equally often, so over `tiles` = replication x the product of all
// parts it occurs exactly `replication` times.
bool separate_digits(const Digits& digits, std::uint32_t tiles) {
  std::uint64_t span = 1;  // tiles covered by the digits so far
  for (const auto& [stride, parts] : digits.all()) {
    if (stride == 0 || stride % span != 0) {
      return false;
    }
    span = stride * parts;
  }
  return tiles % span == 0;
}

// Every combination of shard indices must be held by exactly `replication`
// tiles. Unless the indices are separate digits of the tile number, one
// counter per combination; each tile increments the combination it holds, so
// the check is linear in tiles x tilings.
std::expected<void, LayoutError> check_coverage(const TensorTiling& tiling, std::span<const std::uint32_t> strides,
                                                const Digits& digits, std::uint32_t tiles) {
  if (separate_digits(digits, tiles)) {
    return {};
  }
  std::uint64_t combinations = 1;
  for (const AxisTiling& axis : tiling.axes) {
    if (combinations > std::numeric_limits<std::uint64_t>::max() / axis.parts) {
      return fail(LayoutError::TileOverflow{});
    }
    combinations *= axis.parts;
  }
  if (combinations > std::numeric_limits<std::size_t>::max()) {
    return fail(LayoutError::TileOverflow{});
  }
  std::vector<std::uint16_t> counters(static_cast<std::size_t>(combinations), 0);
  for (std::uint32_t tile = 0; tile < tiles; ++tile) {
    std::size_t cell = 0;
    for (std::size_t k = 0; k < tiling.axes.size(); ++k) {
      const std::uint16_t parts = tiling.axes[k].parts;
      cell = cell * parts + (tile / strides[k]) % parts;
    }
    if (counters[cell] == max_u16) {
      return fail(LayoutError::TileOverflow{});
    }
    ++counters[cell];
  }
  const bool covered = std::ranges::all_of(counters, [&](std::uint16_t count) { return count == tiling.replication; });
  if (!covered) {
    return fail(LayoutError::IrregularTileMapping{});
  }
  return {};
}

// Whether the sorted digits number the tiles as a plain mixed-radix count.
bool regular_digits(const TensorTiling& tiling, const Digits& digits) {
  if (digits.size() == 0) {
    return true;
  }
  const std::uint64_t smallest = digits[0].first;
  if (smallest == 0 || tiling.replication % smallest != 0) {
    return false;
  }
  std::uint64_t expected = smallest;
  for (const auto& [stride, parts] : digits.all()) {
    if (stride != expected) {
      return false;
    }
    expected *= parts;
    if (expected > std::numeric_limits<std::uint32_t>::max()) {
      return false;
    }
  }
  return true;
}

// Checks one tiling's rules against the current padded extents and pads its
// axis; `tiles` is the running tile product.
std::expected<void, LayoutError> pad_axis(const AxisTiling& tiling, std::size_t index, std::uint64_t& tiles,
                                          std::span<std::uint32_t> padded) {
  const std::uint64_t groups = tiling.groups;
  std::uint64_t extent = padded[index];
  if (tiling.parts % groups != 0 || extent % groups != 0) {
    return fail(LayoutError::UnevenGroups{tiling.groups, tiling.parts, padded[index]});
  }
  extent /= groups;
  if (extent % tiling.padding_multiple != 0) {
    if (tiling.padding == AxisPadding::Exact) {
      return fail(LayoutError::NotMultiple{static_cast<std::uint32_t>(extent), tiling.padding_multiple, tiling.axis});
    }
    extent = (extent / tiling.padding_multiple + 1) * tiling.padding_multiple;
    if (extent > max_u32 || extent * groups > max_u32) {
      return fail(LayoutError::ExtentOverflow{tiling.axis});
    }
    padded[index] = static_cast<std::uint32_t>(extent * groups);
  }
  tiles *= tiling.parts;
  if (extent % tiling.panel != 0) {
    return fail(LayoutError::NotMultiple{static_cast<std::uint32_t>(extent), tiling.panel, tiling.axis});
  }
  return {};
}

}  // namespace

const AxisTiling* flattened_tiling(const TensorTiling& tiling) {
  if (tiling.axes.size() == 1 && tiling.axes.front().axis.is_flattened()) {
    return &tiling.axes.front();
  }
  return nullptr;
}

std::expected<void, LayoutError> check_flattened(const AxisTiling& flat, std::uint16_t tile_count,
                                                 std::span<const std::uint32_t> shape) {
  std::uint64_t elements = 1;
  for (const std::uint32_t extent : shape) {
    if (extent != 0 && elements > std::numeric_limits<std::uint64_t>::max() / extent) {
      return fail(LayoutError::ExtentOverflow{flat.axis});
    }
    elements *= extent;
  }
  if (shape.empty() || flat.panel == 0 || elements % flat.panel != 0 || elements / flat.panel < tile_count) {
    return fail(LayoutError::InvalidTiling{});
  }
  return {};
}

std::expected<void, LayoutError> pad(const TensorTiling& tiling, std::span<const std::uint32_t> shape,
                                     Padding& padding) {
  std::ranges::copy(shape, padding.padded.all().begin());
  std::uint64_t tiles = tiling.replication;
  for (std::size_t k = 0; k < tiling.axes.size(); ++k) {
    const AxisTiling& axis = tiling.axes[k];
    if (axis.parts == 0 || axis.groups == 0 || axis.panel == 0 || axis.padding_multiple == 0 ||
        axis.shard_alignment == 0) {
      return fail(LayoutError::InvalidTiling{});
    }
    if (tiles * axis.parts > max_u32) {
      return fail(LayoutError::TileOverflow{});
    }
    const std::optional<std::size_t> index = axis.axis.resolve(shape.size());
    if (!index) {
      return fail(LayoutError::AxisOutOfRange{axis.axis, shape.size()});
    }
    if (std::ranges::any_of(padding.axis_of.all().first(k), [&](std::size_t earlier) { return earlier == *index; })) {
      return fail(LayoutError::DuplicateAxis{axis.axis});
    }
    padding.axis_of[k] = *index;
    if (auto padded_axis = pad_axis(axis, *index, tiles, padding.padded.all()); !padded_axis) {
      return std::unexpected(padded_axis.error());
    }
  }
  if (tiles != tiling.tile_count) {
    return fail(LayoutError::TileCountMismatch{tiling.tile_count, static_cast<std::uint32_t>(tiles)});
  }

  if (auto strides = compute_strides(tiling, padding.strides.all()); !strides) {
    return std::unexpected(strides.error());
  }
  Digits digits(tiling.axes.size());
  sorted_digits(tiling, padding.strides.all(), digits);
  if (!regular_digits(tiling, digits)) {
    if (auto covered = check_coverage(tiling, padding.strides.all(), digits, static_cast<std::uint32_t>(tiles));
        !covered) {
      return std::unexpected(covered.error());
    }
  }
  return {};
}

}  // namespace detail

std::expected<std::vector<std::uint32_t>, LayoutError> TensorTiling::axis_strides() const {
  std::vector<std::uint32_t> strides(axes.size());
  if (auto computed = detail::compute_strides(*this, strides); !computed) {
    return std::unexpected(computed.error());
  }
  return strides;
}

std::expected<std::vector<std::uint32_t>, LayoutError> Layout::padded_shape(const graph::TensorShape& shape) const {
  const std::vector<std::uint32_t>& extents = shape.dimensions;
  if (tiling.tile_count == 0 || tiling.replication == 0) {
    return detail::fail(LayoutError::EmptyTiling{});
  }
  if (const AxisTiling* flat = detail::flattened_tiling(tiling)) {
    if (auto fits = detail::check_flattened(*flat, tiling.tile_count, extents); !fits) {
      return std::unexpected(fits.error());
    }
    return extents;
  }
  detail::Padding padding(extents.size(), tiling.axes.size());
  if (auto padded = detail::pad(tiling, extents, padding); !padded) {
    return std::unexpected(padded.error());
  }
  return std::vector<std::uint32_t>(padding.padded.all().begin(), padding.padded.all().end());
}

}  // namespace vexa_codegen::mid::layout

namespace vexa_codegen::mid::resolved {

bool has_regular_tile_mapping(const layout::TensorTiling& tiling, std::span<const std::uint32_t> strides) {
  if (tiling.axes.empty()) {
    return true;
  }
  if (strides.size() != tiling.axes.size()) {
    return false;
  }
  layout::detail::Digits digits(strides.size());
  layout::detail::sorted_digits(tiling, strides, digits);
  return layout::detail::regular_digits(tiling, digits);
}

}  // namespace vexa_codegen::mid::resolved
