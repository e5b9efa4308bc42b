// Queries on a resolved layout: per-axis shard sizes, the per-tile fragments,
// the largest per-tile element count, and the equality of two distributions.
#include <algorithm>
#include <limits>

#include "vexa_codegen/mid/resolved.hpp"
#include "vexa_codegen/support/arithmetic.hpp"
#include "vexa_codegen/support/dump.hpp"

namespace vexa_codegen::mid::resolved {
namespace {

constexpr std::uint64_t max_u16 = std::numeric_limits<std::uint16_t>::max();

bool is_multiple(std::uint32_t size, std::uint32_t m) { return m == 0 ? size == 0 : size % m == 0; }

// The product of the unpadded extents, saturating.
std::uint64_t element_count(std::span<const std::uint32_t> shape) {
  std::uint64_t count = 1;
  for (const std::uint32_t extent : shape) {
    count = support::sat_mul(count, extent);
  }
  return count;
}

// One panel run of a flattened layout: the panels of `panel` elements are dealt
// out to the tiles like the panels of one axis.
struct FlatRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

FlatRange flat_range(std::uint64_t panels, std::uint64_t panel, std::uint16_t tile_count, std::uint16_t tile) {
  const std::uint64_t base = panels / tile_count;
  const std::uint64_t extra = panels % tile_count;
  const std::uint64_t first = tile * base + std::min<std::uint64_t>(extra, tile);
  const std::uint64_t count = base + (tile < extra ? 1 : 0);
  return {first * panel, (first + count) * panel};
}

// Cuts the flat element range [range.begin, range.end) of `tile` at row
// boundaries of the last axis, one fragment per row.
void append_flat_fragments(std::span<const std::uint32_t> shape, FlatRange range, std::uint16_t tile,
                           std::vector<Fragment>& fragments) {
  if (range.begin >= range.end) {
    return;
  }
  const std::size_t leading = shape.size() - 1;
  const std::uint64_t width = shape.back();
  const std::uint64_t first_row = range.begin / width;
  const std::uint64_t last_row = range.end / width + (range.end % width != 0 ? 1 : 0) - 1;

  // The digits of the first row in the mixed radix of the leading extents, last
  // leading axis least significant; later rows advance them by carrying.
  std::vector<std::uint32_t> digits(leading, 0);
  std::uint64_t rest = first_row;
  for (std::size_t k = leading; k-- > 0;) {
    digits[k] = static_cast<std::uint32_t>(rest % shape[k]);
    rest /= shape[k];
  }

  for (std::uint64_t row = first_row; row <= last_row; ++row) {
    Fragment& fragment = fragments.emplace_back();
    fragment.tile = tile;
    fragment.extents.reserve(shape.size());
    for (std::size_t k = 0; k < leading; ++k) {
      fragment.extents.push_back(ShardExtent{.start = digits[k],
                                             .end = digits[k] + 1,
                                             .allocated_end = digits[k] + 1,
                                             .axis = static_cast<std::uint16_t>(k)});
    }
    const std::uint64_t tail = range.end % width;
    const auto start = static_cast<std::uint32_t>(row == first_row ? range.begin % width : 0);
    const auto end = static_cast<std::uint32_t>(row == last_row && tail != 0 ? tail : width);
    fragment.extents.push_back(
        ShardExtent{.start = start, .end = end, .allocated_end = end, .axis = static_cast<std::uint16_t>(leading)});

    for (std::size_t k = leading; k-- > 0;) {
      if (++digits[k] < shape[k]) {
        break;
      }
      digits[k] = 0;
    }
  }
}

}  // namespace

std::uint32_t ResolvedAxis::maximum_extent() const noexcept {
  std::uint32_t largest = 0;
  for (const ShardExtent& extent : extents) {
    largest = std::max(largest, extent.allocated_size());
  }
  return largest;
}

std::uint32_t ResolvedAxis::minimum_extent() const noexcept {
  if (extents.empty()) {
    return 0;
  }
  std::uint32_t smallest = std::numeric_limits<std::uint32_t>::max();
  for (const ShardExtent& extent : extents) {
    smallest = std::min(smallest, extent.allocated_size());
  }
  return smallest;
}

bool ResolvedAxis::extents_are_multiple_of(std::uint32_t m) const noexcept {
  return std::ranges::all_of(extents, [m](const ShardExtent& extent) { return is_multiple(extent.allocated_size(), m); });
}

bool ResolvedAxis::complete_panels_except_tail(std::uint32_t m) const noexcept {
  if (extents.size() <= 1) {
    return true;
  }
  return std::all_of(extents.begin(), extents.end() - 1,
                     [m](const ShardExtent& extent) { return is_multiple(extent.allocated_size(), m); });
}

std::vector<std::uint32_t> ResolvedAxis::extent_sizes() const {
  std::vector<std::uint32_t> sizes;
  sizes.reserve(extents.size());
  for (const ShardExtent& extent : extents) {
    sizes.push_back(extent.allocated_size());
  }
  std::ranges::sort(sizes);
  const auto duplicates = std::ranges::unique(sizes);
  sizes.erase(duplicates.begin(), duplicates.end());
  return sizes;
}

std::expected<std::vector<Fragment>, LayoutError> ResolvedLayout::shard_extents() const {
  std::vector<Fragment> fragments;
  if (!flattened) {
    fragments.reserve(tile_count);
    for (std::uint32_t tile = 0; tile < tile_count; ++tile) {
      Fragment& fragment = fragments.emplace_back();
      fragment.tile = static_cast<std::uint16_t>(tile);
      fragment.extents.reserve(axes.size());
      for (const ResolvedAxis& axis : axes) {
        if (axis.extents.empty() || axis.stride == 0) {
          return std::unexpected(LayoutError{LayoutError::InvalidTiling{}});
        }
        fragment.extents.push_back(axis.extents[(tile / axis.stride) % axis.extents.size()]);
      }
    }
    return fragments;
  }

  if (shape.empty() || flat_panel == 0 || tile_count == 0) {
    return std::unexpected(LayoutError{LayoutError::InvalidTiling{}});
  }
  if (shape.size() - 1 > max_u16) {
    return std::unexpected(LayoutError{LayoutError::ExtentOverflow{layout::TensorAxis::flattened()}});
  }
  const std::uint64_t panels = element_count(shape) / flat_panel;
  for (std::uint16_t tile = 0; tile < tile_count; ++tile) {
    append_flat_fragments(shape, flat_range(panels, flat_panel, tile_count, tile), tile, fragments);
  }
  return fragments;
}

std::uint64_t ResolvedLayout::maximum_tile_elements() const noexcept {
  if (flattened) {
    if (flat_panel == 0 || tile_count == 0) {
      return support::saturated;
    }
    const std::uint64_t panels = element_count(shape) / flat_panel;
    return support::sat_mul(flat_panel, support::ceil_div(panels, tile_count));
  }
  std::uint64_t elements = 1;
  for (const ResolvedAxis& axis : axes) {
    elements = support::sat_mul(elements, axis.maximum_extent());
  }
  return elements;
}

bool same_distribution(const layout::TensorType& a, const layout::TensorType& b) {
  if (a.shape != b.shape || a.format.layout.tiling.tile_count != b.format.layout.tiling.tile_count) {
    return false;
  }
  const auto left = a.format.layout.resolve(a.shape);
  const auto right = b.format.layout.resolve(b.shape);
  if (!left || !right || left->tile_count != right->tile_count || left->flattened || right->flattened ||
      left->axes.size() != right->axes.size()) {
    return false;
  }
  for (std::size_t j = 0; j < left->axes.size(); ++j) {
    const ResolvedAxis& x = left->axes[j];
    const ResolvedAxis& y = right->axes[j];
    if (x.extents != y.extents || (x.extents.size() > 1 && x.stride != y.stride)) {
      return false;
    }
  }
  return true;
}

std::string dump(const ResolvedAxis& axis) {
  return support::RecordDump("ResolvedAxis").field("extents", axis.extents).field("stride", axis.stride).str();
}

std::string dump(const Fragment& fragment) {
  return support::RecordDump("Fragment").field("tile", fragment.tile).field("extents", fragment.extents).str();
}

std::string dump(const ResolvedLayout& layout) {
  return support::RecordDump("ResolvedLayout")
      .field("padded_shape", layout.padded_shape)
      .field("shape", layout.shape)
      .field("axes", layout.axes)
      .field("flattened", layout.flattened)
      .field("flat_panel", layout.flat_panel)
      .field("tile_count", layout.tile_count)
      .field("replication", layout.replication)
      .str();
}

}  // namespace vexa_codegen::mid::resolved

namespace vexa_codegen::mid::layout {

std::expected<std::vector<resolved::Fragment>, LayoutError> Layout::shard_extents(
    const graph::TensorShape& shape) const {
  auto resolution = resolve(shape);
  if (!resolution) {
    return std::unexpected(resolution.error());
  }
  return resolution->shard_extents();
}

}  // namespace vexa_codegen::mid::layout
