// Resolution of a layout against a shape: strides, tile-numbering checks,
// padding and shard bounds.
#include "vexa_codegen/mid/resolved.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

#include "vexa_codegen/support/arithmetic.hpp"

namespace vexa_codegen::mid::layout {
namespace {

constexpr std::uint64_t max_u32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t max_u16 = std::numeric_limits<std::uint16_t>::max();

template <class Alternative>
std::unexpected<LayoutError> fail(Alternative alternative) {
  return std::unexpected(LayoutError{std::move(alternative)});
}

// The layout's only tiling when that tiling is `Flattened`.
const AxisTiling* flattened_tiling(const TensorTiling& tiling) {
  if (tiling.axes.size() == 1 && tiling.axes.front().axis.is_flattened()) {
    return &tiling.axes.front();
  }
  return nullptr;
}

// A flattened layout fits when the tensor has at least one axis and its element
// count is a whole number of panels, with at least one panel per tile.
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

// Every combination of shard indices must be held by exactly `replication`
// tiles. One counter per combination; each tile increments the combination it
// holds, so the check is linear in tiles x tilings.
std::expected<void, LayoutError> check_coverage(const TensorTiling& tiling, std::span<const std::uint32_t> strides,
                                                std::uint32_t tiles) {
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

// Checks one tiling's rules against the current padded extents and pads its
// axis; `tiles` is the running tile product.
std::expected<void, LayoutError> pad_axis(const AxisTiling& tiling, std::size_t index, std::uint64_t& tiles,
                                          std::vector<std::uint32_t>& padded) {
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

// The padded shape of `shape` under `layout`; also hands back the strides when
// the layout is not flattened, so that resolution computes them only once.
std::expected<std::vector<std::uint32_t>, LayoutError> pad(const TensorTiling& tiling,
                                                           std::span<const std::uint32_t> shape,
                                                           std::vector<std::uint32_t>* strides_out) {
  if (tiling.tile_count == 0 || tiling.replication == 0) {
    return fail(LayoutError::EmptyTiling{});
  }
  if (const AxisTiling* flat = flattened_tiling(tiling)) {
    if (auto fits = check_flattened(*flat, tiling.tile_count, shape); !fits) {
      return std::unexpected(fits.error());
    }
    return std::vector<std::uint32_t>(shape.begin(), shape.end());
  }

  std::vector<std::uint32_t> padded(shape.begin(), shape.end());
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
    // Tilings are few, so the earlier ones are re-resolved instead of kept in a set.
    for (std::size_t earlier = 0; earlier < k; ++earlier) {
      if (tiling.axes[earlier].axis.resolve(shape.size()) == index) {
        return fail(LayoutError::DuplicateAxis{axis.axis});
      }
    }
    if (auto padded_axis = pad_axis(axis, *index, tiles, padded); !padded_axis) {
      return std::unexpected(padded_axis.error());
    }
  }
  if (tiles != tiling.tile_count) {
    return fail(LayoutError::TileCountMismatch{tiling.tile_count, static_cast<std::uint32_t>(tiles)});
  }

  auto strides = tiling.axis_strides();
  if (!strides) {
    return std::unexpected(strides.error());
  }
  if (!resolved::has_regular_tile_mapping(tiling, *strides)) {
    if (auto covered = check_coverage(tiling, *strides, static_cast<std::uint32_t>(tiles)); !covered) {
      return std::unexpected(covered.error());
    }
  }
  if (strides_out != nullptr) {
    *strides_out = std::move(*strides);
  }
  return padded;
}

// The shards of one axis under one tiling. Everything that does not depend on
// the shard is checked and computed once, so that each shard then costs a few
// multiplications; `AxisTiling::shard_bounds` and resolution both go through it.
class AxisCut {
 public:
  // The cut of an axis whose padded extent is `padded_extent` and whose data
  // extent is `extent`, or the first rule of `tiling` that every shard breaks.
  static std::expected<AxisCut, LayoutError> make(const AxisTiling& tiling, std::uint32_t padded_extent,
                                                  std::uint32_t extent) {
    const std::uint64_t groups = tiling.groups;
    if (groups == 0 || tiling.parts == 0 || tiling.parts % groups != 0 || padded_extent % groups != 0 ||
        extent % groups != 0) {
      return fail(LayoutError::UnevenGroups{tiling.groups, tiling.parts, extent});
    }
    AxisCut cut;
    cut.tiling_ = &tiling;
    cut.per_group_ = tiling.parts / groups;
    const std::uint64_t group_padded = padded_extent / groups;
    cut.group_extent_ = extent / groups;
    if (tiling.panel == 0 || group_padded % tiling.panel != 0) {
      return fail(LayoutError::NotMultiple{static_cast<std::uint32_t>(group_padded), tiling.panel, tiling.axis});
    }
    if (tiling.shard_alignment == 0) {
      return fail(LayoutError::InvalidTiling{});
    }
    const std::uint64_t panels = group_padded / tiling.panel;
    cut.base_ = panels / cut.per_group_;
    cut.extra_ = panels % cut.per_group_;
    cut.small_ = cut.size_of(cut.base_);
    cut.large_ = cut.size_of(cut.base_ + 1);
    return cut;
  }

  // Shards in each group; part p is shard p mod this of group p / this.
  [[nodiscard]] std::uint64_t shards_per_group() const noexcept { return per_group_; }

  // The largest allocated shard size and the allocated sizes summed over every
  // shard, or nothing when some shard fails.
  [[nodiscard]] std::optional<std::pair<std::uint64_t, std::uint64_t>> totals() const {
    // Every group has shards of `base_` panels (`extra_` < `per_group_`) and,
    // when `extra_` is not 0, shards of one panel more. Among shards of one
    // size the later one ends further, and a later group further still, so
    // the last shard of each size in the last group has the furthest end.
    const std::uint64_t last_group = static_cast<std::uint64_t>(tiling_->groups) - 1;
    if (!bounds(last_group, per_group_ - 1)) {
      return std::nullopt;
    }
    if (extra_ == 0) {
      return std::pair{small_.allocated, tiling_->groups * per_group_ * small_.allocated};
    }
    if (!bounds(last_group, extra_ - 1)) {
      return std::nullopt;
    }
    return std::pair{std::max(small_.allocated, large_.allocated),
                     tiling_->groups * (extra_ * large_.allocated + (per_group_ - extra_) * small_.allocated)};
  }

  // The range of shard `index` of group `group`.
  [[nodiscard]] std::expected<ShardExtent, LayoutError> bounds(std::uint64_t group, std::uint64_t index) const {
    const Size& size = index < extra_ ? large_ : small_;
    if (size.misaligned) {
      return fail(LayoutError::MisalignedShard{static_cast<std::uint32_t>(size.elements), tiling_->shard_alignment});
    }
    const std::uint64_t shard_start = (index * base_ + std::min(extra_, index)) * tiling_->panel;
    const std::uint64_t offset = group * group_extent_;
    const std::uint64_t start = offset + shard_start;
    const std::uint64_t end = offset + std::max(shard_start, std::min(shard_start + size.elements, group_extent_));
    const std::uint64_t allocated_end = start + size.allocated;
    if (start > max_u32 || end > max_u32 || allocated_end > max_u32) {
      return fail(LayoutError::ExtentOverflow{tiling_->axis});
    }
    return ShardExtent{.start = static_cast<std::uint32_t>(start),
                       .end = static_cast<std::uint32_t>(end),
                       .allocated_end = static_cast<std::uint32_t>(allocated_end),
                       .axis = 0};
  }

 private:
  // A shard of some number of panels: its elements and its allocated size, or
  // whether an exact tiling refuses it as misaligned.
  struct Size {
    std::uint64_t elements = 0;
    std::uint64_t allocated = 0;
    bool misaligned = false;
  };

  [[nodiscard]] Size size_of(std::uint64_t panels) const {
    const std::uint64_t elements = panels * tiling_->panel;
    const std::uint64_t alignment = tiling_->shard_alignment;
    if (elements % alignment == 0) {
      return Size{elements, elements, false};
    }
    if (tiling_->padding == AxisPadding::Exact) {
      return Size{elements, elements, true};
    }
    return Size{elements, (elements / alignment + 1) * alignment, false};
  }

  const AxisTiling* tiling_ = nullptr;
  std::uint64_t per_group_ = 1;
  std::uint64_t group_extent_ = 0;
  std::uint64_t base_ = 0;   // panels of every shard
  std::uint64_t extra_ = 0;  // the first `extra_` shards of a group hold one panel more
  Size small_;
  Size large_;
};

}  // namespace

std::expected<std::vector<std::uint32_t>, LayoutError> TensorTiling::axis_strides() const {
  std::vector<std::uint32_t> strides;
  strides.reserve(axes.size());
  std::uint64_t product = replication;
  for (const AxisTiling& axis : axes) {
    if (product * axis.parts > max_u32) {
      return fail(LayoutError::TileOverflow{});
    }
    const std::uint64_t stride = axis.tile_stride ? *axis.tile_stride : product;
    if (stride == 0) {
      return fail(LayoutError::InvalidTiling{});
    }
    strides.push_back(static_cast<std::uint32_t>(stride));
    product *= axis.parts;
  }
  return strides;
}

std::expected<std::vector<std::uint32_t>, LayoutError> Layout::padded_shape(const graph::TensorShape& shape) const {
  return pad(tiling, shape.dimensions, nullptr);
}

std::expected<ShardExtent, LayoutError> AxisTiling::shard_bounds(std::uint32_t padded_extent, std::uint32_t extent,
                                                                 std::uint16_t part) const {
  if (part >= parts) {
    return fail(LayoutError::UnevenGroups{groups, parts, extent});
  }
  const auto cut = AxisCut::make(*this, padded_extent, extent);
  if (!cut) {
    return std::unexpected(cut.error());
  }
  return cut->bounds(part / cut->shards_per_group(), part % cut->shards_per_group());
}

std::expected<resolved::ResolvedLayout, LayoutError> Layout::resolve(const graph::TensorShape& shape) const {
  const std::vector<std::uint32_t>& extents = shape.dimensions;
  std::vector<std::uint32_t> strides;
  auto padded = pad(tiling, extents, &strides);
  if (!padded) {
    return std::unexpected(padded.error());
  }

  resolved::ResolvedLayout result{.padded_shape = std::move(*padded),
                                  .shape = extents,
                                  .axes = {},
                                  .flattened = false,
                                  .flat_panel = 0,
                                  .tile_count = tiling.tile_count,
                                  .replication = tiling.replication};
  if (const AxisTiling* flat = flattened_tiling(tiling)) {
    result.flattened = true;
    result.flat_panel = flat->panel;
    return result;
  }

  const std::size_t rank = extents.size();
  result.axes.reserve(rank);
  for (std::size_t j = 0; j < rank; ++j) {
    if (j > max_u16) {
      return fail(LayoutError::ExtentOverflow{std::nullopt});
    }
    const auto axis_index = static_cast<std::uint16_t>(j);
    resolved::ResolvedAxis& axis = result.axes.emplace_back();
    const auto cut = std::ranges::find_if(tiling.axes, [&](const AxisTiling& t) { return t.axis.resolve(rank) == j; });
    if (cut == tiling.axes.end()) {
      axis.extents.push_back(ShardExtent{.start = 0,
                                         .end = extents[j],
                                         .allocated_end = result.padded_shape[j],
                                         .axis = axis_index});
      axis.stride = 1;
      continue;
    }
    axis.stride = strides[static_cast<std::size_t>(cut - tiling.axes.begin())];
    const auto shards = AxisCut::make(*cut, result.padded_shape[j], extents[j]);
    if (!shards) {
      return std::unexpected(shards.error());
    }
    axis.extents.reserve(cut->parts);
    const std::uint64_t groups = cut->groups;
    for (std::uint64_t group = 0; group < groups; ++group) {
      for (std::uint64_t index = 0; index < shards->shards_per_group(); ++index) {
        auto bounds = shards->bounds(group, index);
        if (!bounds) {
          return std::unexpected(bounds.error());
        }
        bounds->axis = axis_index;
        axis.extents.push_back(*bounds);
      }
    }
  }
  return result;
}

}  // namespace vexa_codegen::mid::layout

namespace vexa_codegen::mid::resolved {

std::optional<ShardSizes> shard_sizes(const layout::Layout& layout, const graph::TensorShape& shape) {
  const layout::TensorTiling& tiling = layout.tiling;
  const std::vector<std::uint32_t>& extents = shape.dimensions;
  const auto padded = layout::pad(tiling, extents, nullptr);
  if (!padded) {
    return std::nullopt;
  }
  if (const layout::AxisTiling* flat = layout::flattened_tiling(tiling)) {
    std::uint64_t elements = 1;
    for (const std::uint32_t extent : extents) {
      elements = support::sat_mul(elements, extent);
    }
    const std::uint64_t panels = elements / flat->panel;
    return ShardSizes{
        .maximum_tile_elements = support::sat_mul(flat->panel, support::ceil_div(panels, tiling.tile_count)),
        .allocated_elements = elements};
  }

  const std::size_t rank = extents.size();
  if (rank > layout::max_u16 + 1) {
    return std::nullopt;  // an axis index beyond 16 bits
  }
  ShardSizes sizes{.maximum_tile_elements = 1, .allocated_elements = tiling.replication};
  for (std::size_t j = 0; j < rank; ++j) {
    std::uint64_t largest = (*padded)[j];
    std::uint64_t total = (*padded)[j];
    const auto cut =
        std::ranges::find_if(tiling.axes, [&](const layout::AxisTiling& t) { return t.axis.resolve(rank) == j; });
    if (cut != tiling.axes.end()) {
      const auto shards = layout::AxisCut::make(*cut, (*padded)[j], extents[j]);
      if (!shards) {
        return std::nullopt;
      }
      const auto totals = shards->totals();
      if (!totals) {
        return std::nullopt;
      }
      std::tie(largest, total) = *totals;
    }
    sizes.maximum_tile_elements = support::sat_mul(sizes.maximum_tile_elements, largest);
    sizes.allocated_elements = support::sat_mul(sizes.allocated_elements, total);
  }
  return sizes;
}

bool has_regular_tile_mapping(const layout::TensorTiling& tiling, std::span<const std::uint32_t> strides) {
  if (tiling.axes.empty()) {
    return true;
  }
  if (strides.size() != tiling.axes.size()) {
    return false;
  }
  std::vector<std::pair<std::uint32_t, std::uint16_t>> pairs;
  pairs.reserve(strides.size());
  for (std::size_t k = 0; k < strides.size(); ++k) {
    pairs.emplace_back(strides[k], tiling.axes[k].parts);
  }
  std::ranges::sort(pairs);
  const std::uint64_t smallest = pairs.front().first;
  if (smallest == 0 || tiling.replication % smallest != 0) {
    return false;
  }
  std::uint64_t expected = smallest;
  for (const auto& [stride, parts] : pairs) {
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

}  // namespace vexa_codegen::mid::resolved
